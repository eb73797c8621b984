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

    // Sets the defaults, then applies the options (optionsFlag) and the
    // properties file at source. False when that file has fewer than two lines.
    bool init(std::string source, bool optionsFlag);

    // The log level from the text's leading number, unless fixed by -D.
    void setLogLevel(std::string level);
};

// Fills programDir from the working folder and runs init with the command
// line, or with "ini.txt" in the program folder when the line is empty.
bool loadProperties(std::string commandLine, tMDCProperty* properties);
