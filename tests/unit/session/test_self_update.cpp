// Self-update and the updater start on QUIT, in a temporary program folder,
// with the process-exit and program-start seams recording instead of acting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/properties.h"
#include "platform/platform.h"
#include "session/dnc_session.h"
#include "test_support.h"
#include "transport/secure_socket.h"

namespace {

using testing_support::LogCapture;
using testing_support::ProcessExit;
using testing_support::readFile;
using testing_support::ScopedSeams;
using testing_support::TempDir;
using testing_support::writeFile;

class SelfUpdateTest : public testing::Test {
protected:
    void SetUp() override {
        properties.programDir = program.path();
        properties.port = "8194";
        properties.hostAddress = "127.0.0.1";
        session.properties = &properties;
        // A connection that is already gone: answers fail, as they may.
        session.ClientSocket = new vSecureSocket;
    }
    void TearDown() override { session.ShutdownThread(); }

    // The program folder's files as "name=content", for the three names.
    std::vector<std::string> files() {
        std::vector<std::string> out;
        for (const char* name : {"vxdnc.exe", "vxdnc.obo", "vxdnc.update"}) {
            if (platform::fileExists(program.file(name))) {
                out.push_back(std::string(name) + "=" + readFile(program.file(name)));
            }
        }
        return out;
    }

    ScopedSeams seams;
    LogCapture log{3};
    TempDir program;
    tMDCProperty properties;
    DncSession session;
};

TEST_F(SelfUpdateTest, FileStates) {
    using Files = std::vector<std::string>;
    struct Case {
        Files before;
        bool restarts;
        Files after;
    };
    const Case cases[] = {
        {{"vxdnc.exe=old", "vxdnc.update=new"}, true, {"vxdnc.exe=new", "vxdnc.obo=old"}},
        {{"vxdnc.exe=old", "vxdnc.obo=older", "vxdnc.update=new"},
         false,
         {"vxdnc.exe=old", "vxdnc.obo=older", "vxdnc.update=new"}},
        {{"vxdnc.exe=old"}, false, {"vxdnc.obo=old"}},
        {{"vxdnc.update=new"}, false, {"vxdnc.update=new"}},
    };
    for (const Case& c : cases) {
        for (const char* name : {"vxdnc.exe", "vxdnc.obo", "vxdnc.update"}) {
            platform::deleteFile(program.file(name));
        }
        for (const std::string& file : c.before) {
            size_t equals = file.find('=');
            writeFile(program.file(file.substr(0, equals)), file.substr(equals + 1));
        }
        ScopedSeams::sleeps().clear();
        ScopedSeams::started().clear();
        ScopedSeams::exits().clear();
        if (c.restarts) {
            EXPECT_THROW(session.doUpdate(), ProcessExit);
            ASSERT_EQ(1u, ScopedSeams::started().size());
            EXPECT_EQ(program.file("vxdnc.exe"), ScopedSeams::started()[0].file);
            EXPECT_EQ("-X -P 8194 -I 127.0.0.1", ScopedSeams::started()[0].parameters);
            EXPECT_EQ(program.path(), ScopedSeams::started()[0].folder);
            EXPECT_EQ((std::vector<unsigned>{1000, 1000}), ScopedSeams::sleeps());
            EXPECT_TRUE(log.contains("Renames are done"));
        } else {
            session.doUpdate();
            EXPECT_TRUE(ScopedSeams::started().empty());
            EXPECT_TRUE(
                log.contains("doUpdate caught an exception while trying to do an update\r\n"));
        }
        EXPECT_EQ(c.after, files());
    }
}

// The restarted program gets the allowed-peers list in force, so that it does
// not let every peer in; without a list the parameters stay as they were.
TEST_F(SelfUpdateTest, RestartParametersCarryTheAllowedPeersList) {
    const struct {
        const char* list;  // null: no list
        const char* parameters;
    } cases[] = {
        {nullptr, "-X -P 8194 -I 127.0.0.1"},
        {"127.0.0.2", "-X -P 8194 -I 127.0.0.1 -A 127.0.0.2"},
        {"10.0.0.1,10.0.0.2", "-X -P 8194 -I 127.0.0.1 -A 10.0.0.1,10.0.0.2"},
    };
    for (const auto& c : cases) {
        properties.allowedPeers = AllowedPeers();
        if (c.list != nullptr) properties.allowedPeers.set(c.list);
        writeFile(program.file("vxdnc.exe"), "old");
        writeFile(program.file("vxdnc.update"), "new");
        platform::deleteFile(program.file("vxdnc.obo"));
        ScopedSeams::started().clear();
        EXPECT_THROW(session.doUpdate(), ProcessExit);
        ASSERT_EQ(1u, ScopedSeams::started().size());
        EXPECT_EQ(c.parameters, ScopedSeams::started()[0].parameters);
        // The restarted agent reads them back as they were meant.
        tMDCProperty restarted;
        restarted.programDir = program.path();
        ASSERT_TRUE(restarted.init(c.parameters, true));
        EXPECT_EQ(properties.allowedPeers.given(), restarted.allowedPeers.given());
        EXPECT_EQ(properties.allowedPeers.addresses(), restarted.allowedPeers.addresses());
        EXPECT_EQ("8194", restarted.port);
        EXPECT_EQ("127.0.0.1", restarted.hostAddress);
    }
}

TEST_F(SelfUpdateTest, QuitAfterAFailedUpdateStartsTheUpdater) {
    // doQuit ends Winsock for the process; an extra reference keeps it on
    // for the rest of this test program.
    WSADATA data;
    WSAStartup(0x0202, &data);
    session.sessionState = 18;
    EXPECT_THROW(session.doQuit(), ProcessExit);
    ASSERT_EQ(1u, ScopedSeams::started().size());
    EXPECT_EQ(program.file("tesselDncUpdater.exe"), ScopedSeams::started()[0].file);
    EXPECT_EQ("", ScopedSeams::started()[0].parameters);
    EXPECT_EQ(program.path(), ScopedSeams::started()[0].folder);
    EXPECT_EQ(std::vector<int>{0}, ScopedSeams::exits());
    EXPECT_TRUE(log.contains("Unable to Respond but complete quit anyway"));
}

TEST_F(SelfUpdateTest, QuitWithoutAnUpdateEndsOnlyTheSession) {
    session.sessionState = 3;
    EXPECT_TRUE(session.doQuit());
    EXPECT_TRUE(session.done);
    EXPECT_TRUE(ScopedSeams::started().empty());
    EXPECT_TRUE(ScopedSeams::exits().empty());
    std::string text = log.contents();
    EXPECT_LT(text.find("Received QUIT, Cleanup and exit Session"), text.find("Quit is complete"));
}

}  // namespace
