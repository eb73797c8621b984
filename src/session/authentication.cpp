#include <string>

#include "common/activity_log.h"
#include "session/dnc_session.h"
#include "transport/session_encryptor.h"

namespace {

const int kCodeSize = 16;
const int kEnded = 5;

}  // namespace

// The first line the CNC Service reads: 83 printable bytes, sent without a
// line end or terminating zero.
const char kAnnouncement[] =
    "Vexmoor Tessel HID (vxhid.exe) 11.1.0.8 CNC session service - awaiting session code";
static_assert(sizeof kAnnouncement - 1 == 83, "the announcement is 83 bytes long");

// The peer sends its session key under the built-in key, gets back the key's
// first half with 8 random bytes, and proves it holds the built-in key by
// returning those random bytes. The verdict already travels under the
// session key.
bool DncSession::doAuthentication() {
    const std::string tag = "tMDCSession::doAuthentication";
    auto fail = [this]() {
        sessionState = kEnded;
        return false;
    };

    if (sendMessage(kAnnouncement, false) < 0) {
        writeLog(tag, "Unable to Send Announcement Message", 1);
    } else {
        writeLog(tag, "Sent Announcement Message", 3);
    }

    if (receiveMessage(sessionCode, kCodeSize, false) != kCodeSize) {
        writeLog(tag, "Did not receive Sessions Code", 1);
        return fail();
    }

    SessionEncryptor->makeResponseCode(sessionCode);

    if (sendMessage(SessionEncryptor->encryptedResponse, kCodeSize, false) != kCodeSize) {
        writeLog(tag, "Unable to send ResponseCode", 1);
        return fail();
    }

    unsigned char confirmation[kCodeSize] = {};
    if (receiveMessage(confirmation, kCodeSize, false) != kCodeSize) {
        writeLog(tag, "Did not receive Confirmation Code", 1);
        return fail();
    }

    if (SessionEncryptor->checkConfirmationCode(confirmation)) {
        sendMessage("100 Confirmed", true);
        return true;
    }
    writeLog(tag, "Failed ConfirmationCode Test", 1);
    sendMessage("200 Failed", true);
    return fail();
}
