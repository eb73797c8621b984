#include "common/program_folder.h"

#include <cctype>

#include "common/text_format.h"

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

// A folder that does not depend on the folder the agent was started in:
// "C:\..." or "\\server\..." on Windows, "/..." elsewhere.
bool isAbsolute(const std::string& path) {
    const char separator = platform::pathSeparator[0];
    if (separator != '\\') return !path.empty() && path[0] == separator;
    auto isSeparator = [](char c) { return c == '\\' || c == '/'; };
    if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) return true;
    return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
           path[1] == ':' && isSeparator(path[2]);
}

// Whether a %NAME% is left, that is a variable that is not set.
bool holdsVariable(const std::string& path) {
    size_t open = path.find('%');
    while (open != std::string::npos) {
        size_t close = path.find('%', open + 1);
        if (close == std::string::npos) return false;
        if (close > open + 1) return true;
        open = close;
    }
    return false;
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

bool enterProgramFolder(const std::string& folder, std::string& problem) {
    std::string path = platform::expandEnvironment(folder);
    if (path.empty()) {
        problem = "Program folder is empty";
    } else if (path.size() > kMaxProgramFolderLength) {
        problem = formatText("Program folder is longer than %u characters",
                             static_cast<unsigned>(kMaxProgramFolderLength));
    } else if (holdsVariable(path)) {
        // An unset variable would leave a folder named after it in
        // whatever folder the agent was started in.
        problem =
            formatText("Program folder \"%s\" names a variable that is not set", path.c_str());
    } else if (!isAbsolute(path)) {
        problem = formatText("Program folder \"%s\" is not a full path", path.c_str());
    } else if (!platform::createFolders(path) || !platform::changeFolder(path)) {
        problem = formatText("Unable to use the program folder \"%s\"", path.c_str());
    } else {
        return true;
    }
    return false;
}
