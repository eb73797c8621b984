// Delivery keyed on the peer's acknowledgement: the scans of a probe answer
// leave the agent only when the answer went out whole and its acknowledgement
// byte was read; otherwise they go back to the front of the queue, in order,
// ahead of scans committed meanwhile.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/properties.h"
#include "peer/cnc_peer.h"
#include "scans/probe.h"
#include "scans/scan_buffer.h"
#include "scans/scan_journal.h"
#include "scans/scan_journal_format.h"
#include "scans/tessel_hid.h"
#include "scans_test_support.h"
#include "test_support.h"
#include "transport/secure_socket.h"

namespace {

using peer::CncPeer;
using peer::Status;
using scans_test::takeAllScans;
using testing_support::LogCapture;
using Scans = std::vector<std::string>;

constexpr int kWaitMs = 5000;

void queue(const Scans& scans) {
    for (const std::string& scan : scans) appendScan(scan);
}

class DeliveryTest : public ::testing::Test {
protected:
    DeliveryTest() {
        initializeScanBufferLock();
        scan_buffer_testing::clearScanBuffer();
    }
    ~DeliveryTest() override { scan_buffer_testing::clearScanBuffer(); }
};

// The scans of one or more answers given back while others were committed:
// the given-back ones come first, in their order.
TEST_F(DeliveryTest, RequeuedScansGoAheadOfScansCommittedMeanwhile) {
    const struct {
        const char* name;
        Scans before;
        Scans meanwhile;
    } cases[] = {
        {"one scan, nothing meanwhile", {"KEEP1"}, {}},
        {"three scans, two meanwhile", {"a", "", "c"}, {"d", "e"}},
        {"an answer that left scans behind",
         {std::string(1500, 'x'), std::string(1000, 'y')},
         {"z"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        queue(c.before);
        std::string answer;
        std::vector<QueuedScan> taken;
        probeScans(answer, taken);
        ASSERT_FALSE(taken.empty());
        queue(c.meanwhile);
        requeueScans(taken);
        EXPECT_TRUE(taken.empty());
        Scans expected = c.before;
        expected.insert(expected.end(), c.meanwhile.begin(), c.meanwhile.end());
        EXPECT_EQ(expected, takeAllScans());
    }
}

// A scan too long for any answer is sent cut, but given back whole.
TEST_F(DeliveryTest, ACutScanIsGivenBackWhole) {
    const std::string scan(3000, 'q');
    queue({scan});
    std::string answer;
    std::vector<QueuedScan> taken;
    LogCapture log(1);
    probeScans(answer, taken);
    EXPECT_EQ(std::string(2047, 'q') + "\n", answer);
    requeueScans(taken);
    EXPECT_EQ(Scans{scan}, takeAllScans());
}

// A session of the agent's own class over 127.0.0.1, with a peer that can
// misbehave.
class Session {
public:
    Session(tMDCProperty& properties, int receiveTimeoutMs, std::string journal = "")
        : journalPath(std::move(journal)) {
        SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        socklen_t size = sizeof address;
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
        EXPECT_TRUE(peer.connect("127.0.0.1", ntohs(address.sin_port), kWaitMs));
        SOCKET accepted = accept(listener, nullptr, nullptr);
        closesocket(listener);

        session = std::make_unique<TesselHID>();
        session->properties = &properties;
        session->ClientSocket = new vSecureSocket;
        session->ClientSocket->handle = accepted;
        session->ClientSocket->connected = accepted != INVALID_SOCKET;
        session->ClientSocket->setTimeout(receiveTimeoutMs, kWaitMs);
        thread = std::thread([this] {
            try {
                session->doSession();
            } catch (const testing_support::ProcessExit&) {
                // The journal as the process would leave it behind.
                journalAtExit = testing_support::readFile(journalPath);
                exited = true;
            }
        });
        EXPECT_TRUE(peer.handshake({}, kWaitMs)) << peer.lastError();
    }
    ~Session() { finish(); }

    // Ends the session as the host does when the next connection comes: the
    // agent would otherwise wait for a command until its read time-out.
    void finish() {
        peer.close();
        if (session) session->ClientSocket->interrupt();
        if (thread.joinable()) thread.join();
        if (session) session->ShutdownThread();
        session.reset();
    }

    // A well-behaved probe: the answer is read and acknowledged.
    std::string probe() {
        EXPECT_EQ(Status::kOk, peer.sendCommand("PRBE\r\n", kWaitMs)) << peer.lastError();
        std::string answer = "<none>";
        EXPECT_EQ(Status::kOk, peer.readAnswer(answer, kWaitMs)) << peer.lastError();
        return answer;
    }

    CncPeer peer;
    std::unique_ptr<TesselHID> session;
    std::thread thread;
    std::string journalPath;
    std::string journalAtExit;
    bool exited = false;
};

bool waitForLine(const LogCapture& log, const std::string& line) {
    for (int i = 0; i < kWaitMs / 10; ++i) {
        if (log.contains(line)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

enum class Fault {
    closeBeforeTheAnswer,  // PRBE acknowledged, then the connection dropped
    closeWithoutAck,       // the answer read, the connection dropped unacknowledged
    silentWithoutAck,      // the answer read, no acknowledgement until the time-out
};

// The answer of a faulty peer is not delivered: the log says so instead of
// "Response: ...", and the next session's probe carries the scans, ahead of
// one committed meanwhile, exactly once.
TEST_F(DeliveryTest, AnAnswerThePeerDidNotAcknowledgeIsKeptForTheNextProbe) {
    const struct {
        const char* name;
        Fault fault;
    } cases[] = {
        {"closed before the answer", Fault::closeBeforeTheAnswer},
        {"closed without acknowledging", Fault::closeWithoutAck},
        {"silent without acknowledging", Fault::silentWithoutAck},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log(1);
        queue({"KEEP1", "KEEP2"});
        {
            Session faulty(log.properties(), 300);
            ASSERT_EQ(Status::kOk, faulty.peer.sendCommand("PRBE\r\n", kWaitMs));
            if (c.fault != Fault::closeBeforeTheAnswer) {
                std::string answer;
                ASSERT_EQ(Status::kOk, faulty.peer.readAnswer(answer, kWaitMs, false));
                EXPECT_EQ("KEEP1\nKEEP2\n", answer);
            }
            if (c.fault != Fault::silentWithoutAck) faulty.peer.close();
            // The silent peer keeps the connection: the agent gives up on
            // the acknowledgement after its receive time-out.
            EXPECT_TRUE(waitForLine(log, "Response not delivered: 2 scans kept for the next probe"))
                << log.contents();
            faulty.finish();
        }
        EXPECT_FALSE(log.contains("Response: KEEP1"));

        queue({"LATER"});
        Session good(log.properties(), kWaitMs);
        EXPECT_EQ("KEEP1\nKEEP2\nLATER\n", good.probe());
        EXPECT_EQ("", good.probe());
        EXPECT_TRUE(waitForLine(log, "Response: KEEP1\nKEEP2\nLATER\n"));
        good.finish();
        EXPECT_TRUE(log.contains("Response: KEEP1\nKEEP2\nLATER\n"));
    }
}

// QUIT after an UPDT that could not apply ends the process: the scans
// committed just before are in the journal by then, even on a slow disk.
TEST_F(DeliveryTest, QuitAfterAFailedUpdateLeavesTheJournalComplete) {
    LogCapture log(1);
    testing_support::ScopedSeams seams(true);
    WSADATA data;
    WSAStartup(0x0202, &data);  // the quit ends one Winsock reference
    const std::string journal = log.dir().file(scan_journal::kFileName);
    scan_journal::start(journal);
    scan_journal_testing::setWriteDelay(300);
    queue({"UPD1", "UPD2"});
    {
        Session session(log.properties(), kWaitMs, journal);
        ASSERT_EQ(Status::kOk, session.peer.sendCommand("UPDT\r\n", kWaitMs));
        std::string answer;
        ASSERT_EQ(Status::kOk, session.peer.readAnswer(answer, kWaitMs));
        ASSERT_EQ(Status::kOk, session.peer.sendCommand("QUIT\r\n", kWaitMs));
        session.peer.readAnswer(answer, kWaitMs);
        session.thread.join();
        EXPECT_TRUE(session.exited);
        scan_journal::JournalReading reading = scan_journal::readJournal(
            reinterpret_cast<const unsigned char*>(session.journalAtExit.data()),
            session.journalAtExit.size());
        Scans onDisk;
        for (const auto& scan : reading.undelivered) onDisk.push_back(scan.text);
        EXPECT_EQ((Scans{"UPD1", "UPD2"}), onDisk);
    }
    scan_journal_testing::setWriteDelay(0);
    scan_journal_testing::stop();
}

}  // namespace
