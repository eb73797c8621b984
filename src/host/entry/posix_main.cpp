#include <string>

#include "host/service_host.h"

// The native agent: the arguments joined by blanks form the command line that
// the Windows program receives whole.
int main(int argc, char** argv) {
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) commandLine += ' ';
        commandLine += argv[i];
    }
    return runServiceHost(nullptr, commandLine);
}
