#include "host/service_host.h"

#include <memory>

#include "capture/scan_assembly.h"
#include "capture/ui_thread.h"
#include "common/activity_log.h"
#include "common/properties.h"
#include "common/text_format.h"
#include "host/accept_loop.h"
#include "platform/platform.h"
#include "scans/scan_buffer.h"
#include "scans/scan_journal.h"
#include "transport/secure_socket.h"

namespace {

// Ends the process after a fatal start-up failure.
void endProcess() {
    WSACleanup();
    platform::exitProcess(0);
}

}  // namespace

int runServiceHost(void* instance, std::string commandLine) {
    const std::string tag = "TesselMDC::_tWinMain";

    initializeScanBufferLock();
    // -L US is in force from the first key the hook sees, which may come
    // before the properties are read (with -X they wait several seconds).
    {
        std::string options = commandLine;
        setUsKeyTranslation(takeKeyboardOption(options).usTranslation);
    }
    // The network side of the agent works without the desktop thread. The log
    // is not open yet, so a failure to start it is recorded once it is.
    bool uiThreadStarted = platform::startDetachedThread(uiThreadMain, instance);

    // Lives for the rest of the process; freed only on the early return.
    std::unique_ptr<tMDCProperty> record = std::make_unique<tMDCProperty>();
    tMDCProperty* properties = record.get();
    if (!loadProperties(commandLine, properties)) return 0;
    setUsKeyTranslation(properties->usKeyTranslation);

    WSADATA wsaData;
    int started = WSAStartup(0x0202, &wsaData);
    if (started != 0) {
        writeLog(tag, formatText("Network Error WSAStartup failed: %d", started), 1);
        endProcess();
        return 0;
    }

    {
        vSecureSocket probe;
        if (probe.testTDncSocket(properties->hostAddress, properties->port, properties->logFile)) {
            endProcess();
            return 0;
        }
    }

    openLogFile(properties);
    std::string versionLine =
        formatText("Vexmoor Tessel HID (vxhid.exe) version 11.1.0.8 %s %s",
                   properties->hostAddress.c_str(), properties->portNote.c_str());
    writeLog(tag, versionLine, 1);
    if (!uiThreadStarted) writeLog(tag, "Unable to start the user-interface thread", 1);
    // Only now, with the log open and no other agent answering here: the
    // journal belongs to the one agent of this folder. It lives in the
    // program folder, so a start after an update, which reads no properties,
    // finds it; earlier versions kept it in the log folder.
    scan_journal::start(properties->programDir + platform::pathSeparator + scan_journal::kFileName,
                        properties->logDir + platform::pathSeparator + scan_journal::kFileName);
    // A malformed allowed-peers list must never turn into one that lets
    // every peer in: the agent does not start.
    const AllowedPeers& allowedPeers = properties->allowedPeers;
    if (!allowedPeers.problem().empty()) {
        writeLog(tag, allowedPeers.problem(), 1);
        endProcess();
        return 0;
    }
    // Nor does a keyboard translation it does not know: the scans would not
    // be what the site expects.
    if (!properties->keyboardProblem.empty()) {
        writeLog(tag, properties->keyboardProblem, 1);
        endProcess();
        return 0;
    }
    if (allowedPeers.given()) writeLog(tag, "Allowed peers: " + allowedPeers.text(), 2);
    writeLog(tag, "Prepare to Init Socket", 2);

    vSecureSocket* listener = new vSecureSocket();
    if (!listener->initialize(properties->hostAddress, properties->port)) {
        writeLog(tag, "Network Error. Unable to initialize the MDC Socket", 1);
        endProcess();
        return 0;
    }
    properties->hostAddress = listener->address;

    unsigned long blocking = 0;
    ioctlsocket(listener->handle, FIONBIO, &blocking);

    if (!listener->doListen()) {
        writeLog(tag, "Network Error. Unable to listen on the MDC Socket", 1);
        endProcess();
        return 0;
    }
    writeLog(tag, formatText("Listening on the DNC Socket, port %s", properties->port.c_str()), 3);

    AcceptLoop loop(properties, listener, versionLine);
    for (;;) loop.acceptOne();
}
