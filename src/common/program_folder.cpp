#include "common/program_folder.h"

#include <cctype>

#include "platform/platform.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string trimBlanks(const std::string& text) {
    size_t first = 0;
    while (first < text.size() && isBlank(text[first])) ++first;
    size_t last = text.size();
    while (last > first && isBlank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

// Where the option starting at commandLine[at] ends, with its value.
size_t optionEnd(const std::string& commandLine, size_t at, std::string& value) {
    size_t start = at + 2;
    while (start < commandLine.size() && isBlank(commandLine[start])) ++start;
    if (start < commandLine.size() && commandLine[start] == '"') {
        size_t close = commandLine.find('"', start + 1);
        size_t end = close == std::string::npos ? commandLine.size() : close;
        value = commandLine.substr(start + 1, end - start - 1);
        return close == std::string::npos ? end : close + 1;
    }
    size_t end = start;
    while (end < commandLine.size() && !isBlank(commandLine[end])) ++end;
    value = commandLine.substr(start, end - start);
    return end;
}

}  // namespace

bool takeProgramFolderOption(std::string& commandLine, std::string& folder) {
    bool given = false;
    size_t at = 0;
    while (at + 1 < commandLine.size()) {
        bool wordStart = at == 0 || isBlank(commandLine[at - 1]);
        char letter =
            static_cast<char>(std::toupper(static_cast<unsigned char>(commandLine[at + 1])));
        char after = at + 2 < commandLine.size() ? commandLine[at + 2] : ' ';
        if (commandLine[at] == '-' && letter == 'F' && wordStart &&
            (isBlank(after) || after == '"')) {
            size_t end = optionEnd(commandLine, at, folder);
            commandLine.erase(at, end - at);
            given = true;
            continue;
        }
        ++at;
    }
    if (given) commandLine = trimBlanks(commandLine);
    return given;
}

bool enterProgramFolder(const std::string& folder) {
    std::string path = platform::expandEnvironment(folder);
    if (path.empty() || path.size() > kMaxProgramFolderLength) return false;
    return platform::createFolders(path) && platform::changeFolder(path);
}
