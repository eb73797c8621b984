#pragma once
// The configuration record, filled once at start-up from the command line or
// "ini.txt", then read by every layer.
#include <string>

#include "common/allowed_peers.h"

struct tMDCProperty {
    int logLevel = 0;
    int fixedLogLevel = 0;
    std::string port;
    std::string portNote;
    std::string programDir;
    std::string logDir;
    std::string logFile;
    int receiveTimeout = 0;
    int sendTimeout = 0;
    std::string hostAddress;
    // -A, or the fifth line of the properties file: the peers that may
    // connect. Checked by the host once the log is open.
    AllowedPeers allowedPeers;
    // -L US: keys are translated as on a US keyboard, whatever the layout.
    bool usKeyTranslation = false;
    // Set when -L has any other value: the line that says so; the host
    // then does not start.
    std::string keyboardProblem;

    // Sets the defaults, then applies the options (optionsFlag) and the
    // properties file at source. False when that file has fewer than two lines.
    bool init(std::string source, bool optionsFlag);

    // The log level from the text's leading number, unless fixed by -D.
    void setLogLevel(std::string level);
};

// -L and its value, taken out of a command line.
struct KeyboardOption {
    bool given = false;
    bool usTranslation = false;
    std::string problem;  // empty unless the value is other than US
};
// Takes every -L and its value out of commandLine. -L counts only as a word
// of its own, at the start or after a blank, like -A; its value runs to the
// next blank, in any case; US is the only one.
KeyboardOption takeKeyboardOption(std::string& commandLine);

// Fills programDir from the working folder, takes -L out of the command line
// and runs init with the rest, or with "ini.txt" in the program folder when
// nothing else is left (so "-L US" alone keeps "ini.txt" in use).
bool loadProperties(std::string commandLine, tMDCProperty* properties);
