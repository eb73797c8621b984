#include <string>

#include "common/activity_log.h"
#include "common/properties.h"
#include "platform/platform.h"
#include "session/dnc_session.h"
#include "transport/secure_socket.h"
#include "transport/session_encryptor.h"

namespace {
const int kUpdateRequested = 18;
}

bool DncSession::doQuit() {
    const std::string tag = "tMDCSession::doQuit";
    writeLog(tag, "Received QUIT, Cleanup and exit Session", 2);
    done = true;
    if (sendMessage("100", true) < 0) {
        writeLog(tag, "Unable to Respond but complete quit anyway", 1);
    }
    writeLog(tag, "Quit is complete", 2);
    ClientSocket->closeSocket();

    // An update earlier in this session could not replace the service
    // program: the external updater takes over and the agent ends.
    if (sessionState == kUpdateRequested) {
        const std::string& folder = properties->programDir;
        platform::startProgram(folder + platform::pathSeparator + "tesselDncUpdater.exe", "",
                               folder);
        WSACleanup();
        platform::exitProcess(0);
    }
    return true;
}

void DncSession::ShutdownThread() {
    const std::string tag = "tMDCSession::ShutdownThread";
    if (ClientSocket != nullptr) {
        // closeSocket closes a handle once only: after doQuit it leaves
        // alone a handle number the system may have given to a new connection.
        ClientSocket->closeSocket();
        writeLog(tag, "Delete ClientSocket", 3);
        delete ClientSocket;
        ClientSocket = nullptr;
    }
    if (SessionEncryptor != nullptr) {
        writeLog(tag, "Delete SessionEncryptor", 3);
        delete SessionEncryptor;
        SessionEncryptor = nullptr;
    }
}
