#pragma once
// Process start-up and the accept loop that serves the agent for the rest of
// its life. Returns only when the properties cannot be loaded.
#include <string>

int runServiceHost(void* instance, std::string commandLine);
