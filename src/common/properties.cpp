#include "common/properties.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <fstream>

#include "common/activity_log.h"
#include "common/program_folder.h"
#include "common/text_format.h"
#include "platform/platform.h"

namespace {

const size_t kOptionValueSize = 80;  // 79 characters and the terminator

// atoi without its undefined behaviour on out-of-range numbers: the leading
// decimal number (after blanks and a sign), clamped to int, 0 when none.
int toInt(const std::string& text) {
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

std::string trimBlanks(const std::string& text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return std::string();
    size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

struct OptionValue {
    bool given = false;
    std::string value;  // digits and dots only, at most 79 of them
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Text without the blanks and tabs at its ends.
std::string trimSurroundingBlanks(const std::string& text) {
    size_t first = 0;
    while (first < text.size() && isBlank(text[first])) ++first;
    size_t last = text.size();
    while (last > first && isBlank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

// The value of -A, whose letter is at source[letter]: after any blanks, the
// characters up to the next blank; none when the next word is another
// option. Keeps one character more than a list may hold, so that a longer
// one is still seen as too long. Returns where the value ends.
size_t allowedPeersValue(const std::string& source, size_t letter, std::string& value) {
    size_t start = letter + 1;
    while (start < source.size() && isBlank(source[start])) ++start;
    size_t end = start;
    if (start < source.size() && source[start] != '-') {
        while (end < source.size() && !isBlank(source[end])) ++end;
    }
    value = source.substr(start, std::min(end - start, AllowedPeers::kMaxLength + 1));
    return end;
}

// -A counts only as a word of its own, at the start or after a blank, so
// that a command line naming a properties file whose path holds "-a"
// (C:\vx-agent\ini.txt) reads as before.
bool isWordStart(const std::string& source, size_t at) {
    return at == 0 || isBlank(source[at - 1]);
}

// Where the first -A of the upper-cased source begins; npos when none.
size_t findAllowedPeersOption(const std::string& source) {
    for (size_t at = source.find("-A"); at != std::string::npos; at = source.find("-A", at + 1)) {
        if (isWordStart(source, at)) return at;
    }
    return std::string::npos;
}

// The allowed-peers list of the properties file's fifth line, read as older
// versions wrote it or as the option: false when the line holds none, and
// the line is ignored. An empty line or one of blanks only holds none (a
// file that ends in a blank line allowed every peer before); nor does a
// note or any other text, which older versions ignored. A list is either
// "-A" (either case) and the list after it, or only digits, dots, commas
// and blanks, a list as it stands. Either kind may still be malformed.
bool fifthLineList(const std::string& line, std::string& list) {
    std::string text = trimSurroundingBlanks(line);
    if (text.size() >= 2 && text[0] == '-' && (text[1] == 'A' || text[1] == 'a')) {
        // "-A" alone or followed by a blank, or by the list itself.
        if (text.size() == 2 || isBlank(text[2]) ||
            std::isdigit(static_cast<unsigned char>(text[2]))) {
            list = trimSurroundingBlanks(text.substr(2));
            return true;
        }
        return false;
    }
    if (text.empty()) return false;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.' && c != ',' && !isBlank(c)) {
            return false;
        }
    }
    list = text;
    return true;
}

// Reads the next line without its line end (LF or CR LF). False at the end.
bool readLine(std::istream& in, std::string& line) {
    if (!std::getline(in, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

}  // namespace

bool tMDCProperty::init(std::string source, bool optionsFlag) {
    // Runs before the log is opened, so nothing is logged here.
    logLevel = 1;
    receiveTimeout = 5000;
    sendTimeout = 5000;
    port = "8194";
    hostAddress.clear();
    fixedLogLevel = 0;
    logDir = programDir;
    logFile = logDir + platform::pathSeparator + "vxhid.log";
    portNote.clear();
    allowedPeers = AllowedPeers();
    ::logLevel = logLevel;

    if (optionsFlag) {
        for (char& c : source) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

        if (source.find("-X") != std::string::npos) {
            // The restart after an update drops the first three characters,
            // meant to be "-X ". An -A that begins there would be cut off
            // and the agent would run without its list: it stays in force.
            size_t cut = source.size() < 3 ? source.size() : 3;
            size_t listOption = findAllowedPeersOption(source);
            if (listOption < cut) {
                std::string list;
                allowedPeersValue(source, listOption + 1, list);
                allowedPeers.set(list);
            }
            source.erase(0, cut);
            platform::sleepMs(6000);
            platform::deleteFile(programDir + platform::pathSeparator + "vxhid.obo");
        }

        OptionValue hostOption, portOption, debugOption;
        OptionValue* current = nullptr;
        for (size_t i = 0; i < source.size(); ++i) {
            char c = source[i];
            if (c == '-') {
                char next = i + 1 < source.size() ? source[i + 1] : '\0';
                if (next == 'A' && isWordStart(source, i)) {
                    // The list has limits of its own; its characters are no
                    // value of another option.
                    std::string list;
                    i = allowedPeersValue(source, i + 1, list) - 1;
                    allowedPeers.set(list);
                    current = nullptr;
                    continue;
                }
                current = next == 'I'   ? &hostOption
                          : next == 'P' ? &portOption
                          : next == 'D' ? &debugOption
                                        : nullptr;
                if (current != nullptr) {
                    // A repeated option starts its value afresh.
                    current->given = true;
                    current->value.clear();
                    ++i;
                }
                continue;
            }
            bool valueCharacter = std::isdigit(static_cast<unsigned char>(c)) || c == '.';
            if (current != nullptr && valueCharacter &&
                current->value.size() < kOptionValueSize - 1) {
                current->value += c;
            }
        }

        if (hostOption.given) hostAddress = trimBlanks(hostOption.value);
        if (portOption.given) {
            port = trimBlanks(portOption.value);
            portNote = formatText("CI Port %s", port.c_str());
        }
        if (debugOption.given) {
            const std::string& value = debugOption.value;
            if (!value.empty() && std::isdigit(static_cast<unsigned char>(value[0]))) {
                fixedLogLevel = value[0] - '0';
                if (fixedLogLevel > 5) fixedLogLevel = 5;
                logLevel = fixedLogLevel;
                ::logLevel = logLevel;
            } else {
                logLevel = 0;
            }
        }
    }

    if (!source.empty() && platform::fileExists(source)) {
        std::ifstream file(source, std::ios::binary);
        std::string line;
        if (!readLine(file, line)) return false;
        port = line;
        if (!readLine(file, line)) return false;
        logDir = line;
        if (readLine(file, line)) {
            receiveTimeout = toInt(line);
            if (readLine(file, line)) {
                sendTimeout = toInt(line);
                std::string list;
                if (readLine(file, line) && fifthLineList(line, list)) allowedPeers.set(list);
            }
        }
        logFile = logDir + platform::pathSeparator + "vxhid.log";
        ::logLevel = logLevel;
    }
    return true;
}

void tMDCProperty::setLogLevel(std::string level) {
    if (fixedLogLevel != 0) return;
    logLevel = toInt(level);
    ::logLevel = logLevel;
}

KeyboardOption takeKeyboardOption(std::string& commandLine) {
    KeyboardOption option;
    for (size_t i = 0; i + 1 < commandLine.size(); ++i) {
        const bool wordStart = i == 0 || isBlank(commandLine[i - 1]);
        if (!wordStart || commandLine[i] != '-' ||
            std::toupper(static_cast<unsigned char>(commandLine[i + 1])) != 'L') {
            continue;
        }
        std::string value;
        const size_t end = allowedPeersValue(commandLine, i + 1, value);
        commandLine.erase(i, end - i);
        for (char& c : value) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        option.given = true;
        if (value == "US") {
            option.usTranslation = true;
        } else if (option.problem.empty()) {
            if (value.size() > AllowedPeers::kMaxShownEntry) {
                value = value.substr(0, AllowedPeers::kMaxShownEntry) + "...";
            }
            option.problem =
                value.empty()
                    ? std::string("Keyboard translation -L has no value (only -L US is known)")
                    : formatText("Keyboard translation -L %s is not known (only -L US is)",
                                 value.c_str());
        }
        --i;  // the character now at i follows what was taken out
    }
    if (!option.problem.empty()) option.usTranslation = false;
    return option;
}

bool loadProperties(std::string commandLine, tMDCProperty* properties) {
    // The program folder option comes out of the command line first; a
    // command line of that option alone reads "ini.txt" there.
    std::string folder;
    std::string problem;
    if (takeProgramFolderOption(commandLine, folder) && !enterProgramFolder(folder, problem)) {
        // No log folder is known yet: the reason goes to a log that is
        // already there in the folder the agent was started in, if any.
        writeLogDirect(platform::fullPath("vxhid.log"), problem);
        return false;
    }

    std::string executable = platform::fullPath("vxhid.exe");
    size_t separator = executable.find_last_of(platform::pathSeparator[0]);
    properties->programDir =
        separator == std::string::npos ? std::string() : executable.substr(0, separator);

    const KeyboardOption keyboard = takeKeyboardOption(commandLine);
    // A command line that held -L and nothing else counts as none.
    const bool onlyKeyboard =
        keyboard.given && commandLine.find_first_not_of(" \t") == std::string::npos;
    bool loaded = false;
    if (commandLine.empty() || onlyKeyboard) {
        loaded =
            properties->init(properties->programDir + platform::pathSeparator + "ini.txt", false);
    } else {
        loaded = properties->init(commandLine, true);
    }
    properties->usKeyTranslation = keyboard.usTranslation;
    properties->keyboardProblem = keyboard.problem;
    return loaded;
}
