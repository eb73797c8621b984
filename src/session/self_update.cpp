#include <string>

#include "common/activity_log.h"
#include "common/properties.h"
#include "common/text_format.h"
#include "platform/platform.h"
#include "session/dnc_session.h"

namespace {

const unsigned kSettleMs = 1000;

// Renames without ever replacing a file. False when the source is missing or
// the target exists.
bool moveFile(const std::string& from, const std::string& to) {
    int error = 0;
    return platform::renameNoReplace(from, to, error);
}

}  // namespace

// Moves the service program aside, puts the update in its place and starts
// it with the agent's port, address and allowed peers; the agent then ends. A failed rename
// is logged and leaves the files as they are; the next QUIT of this session
// starts the external updater instead.
void DncSession::doUpdate() {
    const std::string tag = "tMDCSession::doUpdate";
    const std::string& folder = properties->programDir;
    const std::string program = folder + platform::pathSeparator + "vxdnc.exe";
    const std::string saved = folder + platform::pathSeparator + "vxdnc.obo";
    const std::string update = folder + platform::pathSeparator + "vxdnc.update";
    const char* failure = "doUpdate caught an exception while trying to do an update";

    if (!moveFile(program, saved)) {
        writeLog(tag, failure, 1);
        return;
    }
    platform::sleepMs(kSettleMs);
    writeLog(tag, "Ready to rename vxdnc.update to vxdnc.exe", 3);

    if (!moveFile(update, program)) {
        writeLog(tag, failure, 1);
        return;
    }
    platform::sleepMs(kSettleMs);
    writeLog(tag, "Renames are done", 3);

    std::string parameters =
        formatText("-X -P %s -I %s", properties->port.c_str(), properties->hostAddress.c_str());
    // The list in force goes on with the restart, so that the new program
    // does not let every peer in.
    const AllowedPeers& allowed = properties->allowedPeers;
    if (allowed.given() && allowed.problem().empty()) parameters += " -A " + allowed.text();
    writeLog(tag, parameters, 3);
    platform::startProgram(program, parameters, folder);
    platform::exitProcess(0);
}
