#include <cstring>
#include <exception>

#include "common/activity_log.h"
#include "common/properties.h"
#include "common/text_format.h"
#include "session/command_table.h"
#include "session/dnc_session.h"
#include "transport/secure_socket.h"

namespace {

const int kReceiveLimit = 2048;       // largest command frame
const int kReceiveBufferSize = 4096;  // the decoded command and its zeros
const int kCanReadAttempts = 3;

const char kOk[] = "200\r\n";

enum SessionState : int { kRunning = 3, kEnded = 5, kUpdateRequested = 18 };

}  // namespace

int DncSession::doSession() {
    const std::string tag = "DncSession::doSession";
    // Kept for the whole session: a DBUG or CNFG without an argument reuses
    // the previous one.
    std::string commandText;
    std::string debugArgument;
    std::string configurationArgument;

    done = false;
    sessionState = kRunning;
    if (!doAuthentication()) {
        done = true;
        writeLog(tag, "Authentication with Vexmoor CNC Service Failed", 1);
    } else {
        writeLog(tag, "Authentication with Vexmoor CNC Service is Complete", 2);
    }

    try {
        while (!done) {
            int length = readSocket(commandText);
            if (length < 1) {
                writeLog(tag, formatText("Received an unexpected Message of Length %d", length), 1);
                done = true;
                sessionState = kEnded;
                continue;
            }
            writeLog(tag, "Received from CNC Service the command: " + commandText, 2);
            commandCode = commandText.empty() ? command::kNoop : getCommandCode(commandText);

            switch (commandCode) {
                case command::kQuit:
                    doQuit();
                    break;
                case command::kDbug:
                    getCommandArgument(commandText, "DBUG", debugArgument);
                    properties->setLogLevel(debugArgument);
                    sendMessage(kOk, true);
                    break;
                case command::kUpdt:
                    sessionState = kUpdateRequested;
                    doUpdate();
                    sendMessage(kOk, true);
                    break;
                case command::kCnfg:
                    getCommandArgument(commandText, "CNFG", configurationArgument);
                    configuration.parseElements(configurationArgument);
                    writeLog(tag, "Configuration is complete", 2);
                    break;
                case command::kPrbe: {
                    std::string answer;
                    doProbe(answer);
                    sendMessage(answer, true);
                    // The scans leave the agent only when the peer has
                    // acknowledged the answer that carries them.
                    int kept = probeAnswered(lastSendAcknowledged);
                    if (answer.empty()) break;
                    if (lastSendAcknowledged) {
                        writeLog(tag, "Response: " + answer, 1);
                    } else {
                        writeLog(tag,
                                 formatText("Response not delivered: %d scans kept for the "
                                            "next probe",
                                            kept),
                                 1);
                    }
                    break;
                }
                case command::kProt:
                    doProt();
                    break;
                default:
                    break;
            }
        }
        sessionState = kEnded;
        writeLog(tag, "The Session has completed. Waiting for another connection request", 2);
        return 0;
    } catch (const std::exception&) {
        writeLog(tag, "Do Session received an unexpected exception", 1);
        sessionState = kEnded;
        return 0;
    }
}

int DncSession::readSocket(std::string& commandText) {
    const std::string tag = "tMDCSession::readSocket";
    writeLog(tag, "Prepare to Read session command", 4);

    // With the session key, CanRead waits for a frame that arrives in pieces
    // to be whole, since receiveMessage takes one read as the whole frame.
    bool ready = false;
    for (int attempt = 0; attempt < kCanReadAttempts && !ready; ++attempt) {
        ready = ClientSocket->CanRead(SessionEncryptor);
    }
    if (!ready) {
        writeLog(tag, "Timed out while waiting to read a command from DNC", 1);
        done = true;
        return -1;
    }

    writeLog(tag, "CanRead - Get the Message", 4);
    unsigned char buffer[kReceiveBufferSize] = {};
    int length = receiveMessage(buffer, kReceiveLimit, true);
    if (length >= 1) {
        const char* text = reinterpret_cast<const char*>(buffer);
        commandText.assign(text, strnlen(text, sizeof buffer));
    }
    return length;
}

int DncSession::getCommandCode(std::string commandText) {
    // The word ends at the first blank; without one, the command is taken to
    // end in CR LF, which is not part of the word.
    size_t blank = commandText.find(' ');
    long long end = blank != std::string::npos ? static_cast<long long>(blank)
                                               : static_cast<long long>(commandText.size()) - 2;
    if (end < 0) end = 0;
    return command::codeOfWord(commandText.data(), static_cast<unsigned>(end));
}

bool DncSession::getCommandArgument(std::string commandText, std::string word,
                                    std::string& argument) {
    size_t blank = commandText.find(' ');
    if (blank == std::string::npos) return false;
    if (commandText.compare(0, blank, word) != 0) return false;
    const char* whiteSpace = " \t\r\n\v\f";
    size_t first = commandText.find_first_not_of(whiteSpace, blank);
    if (first == std::string::npos) {
        argument.clear();
    } else {
        size_t last = commandText.find_last_not_of(whiteSpace);
        argument = commandText.substr(first, last - first + 1);
    }
    return true;
}
