#pragma once
// The program folder option, -F <folder>: the folder the agent runs in, its
// program folder (ini.txt, the log, the scan journal and the update files),
// for an agent started from a folder it must not write to, such as the
// installer's Program Files folder. The installer's shortcut gives
// -F "%LOCALAPPDATA%\Vexmoor\vxhid", a folder of each user's own.
#include <cstddef>
#include <string>

constexpr std::size_t kMaxProgramFolderLength = 200;  // characters, once expanded

// Finds -F (either case) as a word of its own, at the start of the command
// line or after a blank, followed by a blank, a double quote or the end,
// and takes it with its value out of commandLine, whose blanks at both ends
// go too. The value follows after blanks: in double quotes, which allow
// blanks in it, or else up to the next blank. So the letters of a path
// (C:\Users\JEAN-PIERRE) never reach the scan of the other options. True
// when the option was there; folder then holds its value as written,
// possibly empty. Of several, the last one counts.
bool takeProgramFolderOption(std::string& commandLine, std::string& folder);

// Expands the folder's environment variables, creates it when missing and
// makes it the working folder, which makes it the program folder. False,
// with the reason in problem, when the folder is empty, longer than
// kMaxProgramFolderLength once expanded, still names a variable (one that
// is not set), is not a full path (it would depend on the folder the agent
// was started in), or cannot be created or entered.
bool enterProgramFolder(const std::string& folder, std::string& problem);
