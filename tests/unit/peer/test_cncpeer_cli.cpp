// The cncpeer command line and watch mode against the scripted stand-in for
// the agent on 127.0.0.1.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "fake_agent.h"
#include "peer_cli.h"
#include "watch.h"

namespace {

using namespace peer_test;

struct CliRun {
    int code;
    std::string out;
    std::string err;
};

CliRun runCli(std::vector<std::string> args) {
    std::ostringstream out;
    std::ostringstream err;
    int code = cncpeer::runCli(args, out, err);
    return {code, out.str(), err.str()};
}

TEST(CncPeerCli, SendsTheCommandsAndPrintsEachAnswer) {
    FakeAgent agent;
    agent.start([](FakeAgent& a) {
        if (!a.handshake()) return;
        a.readFrame();
        a.sendFrame("200\r\n");
        a.readFrame();
        a.sendFrame("ABC123\n");
        a.readFrame();
        a.readFrame();
        a.readFrame();
        a.sendFrame("100");
        a.closeConnection();
    });
    const std::string payload = "ProtocolElement{<Name:Rate><Value:9 600>}";
    CliRun run =
        runCli({"--host", "127.0.0.1", "--port", std::to_string(agent.port()), "--key", kKeyHex,
                "--timeout", "3000", "DBUG", "3", "PRBE", "CNFG", payload, "CWD", "QUIT"});
    agent.join();
    EXPECT_EQ(cncpeer::kExitOk, run.code) << run.err;
    EXPECT_EQ("announcement: \"" + announcementText() +
                  "\"\n"
                  "session key: 00112233445566778899AABBCCDDEEFF\n"
                  "verdict: \"100 Confirmed\"\n"
                  "DBUG 3 -> \"200\\r\\n\"\n"
                  "PRBE -> \"ABC123\\n\"\n"
                  "CNFG " +
                  payload +
                  " -> acknowledged\n"
                  "CWD -> acknowledged\n"
                  "QUIT -> \"100\"\n"
                  "connection closed\n",
              run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ((std::vector<std::string>{"DBUG 3\r\n", "PRBE\r\n", "CNFG " + payload + "\r\n",
                                        "CWD\r\n", "QUIT\r\n"}),
              agent.commands);
}

TEST(CncPeerCli, ExitCodeSaysWhatWentWrong) {
    using Script = std::function<void(FakeAgent&)>;
    struct Case {
        const char* what;
        std::vector<std::string> commands;
        Script script;
        int code;
        const char* out;  // expected in the report
        const char* err;  // expected among the problems
    };
    const Case cases[] = {
        {"handshake answered 200 Failed",
         {"NOOP"},
         [](FakeAgent& a) {
             a.handshake(true);
             a.waitForPeerToClose();
         },
         cncpeer::kExitHandshake,
         "verdict: \"200 Failed\"\n",
         "handshake failed"},
        {"no announcement",
         {"NOOP"},
         [](FakeAgent& a) { a.waitForPeerToClose(); },
         cncpeer::kExitHandshake,
         "",
         "no announcement"},
        {"closed before the announcement, as for a peer not on the list",
         {"NOOP"},
         [](FakeAgent& a) { a.closeConnection(); },
         cncpeer::kExitHandshake,
         "",
         "may be off the agent's allowed-peers list"},
        {"DBUG answered wrongly",
         {"DBUG", "3", "NOOP"},
         [](FakeAgent& a) {
             if (!a.handshake()) return;
             a.readFrame();
             a.sendFrame("100");
             a.waitForPeerToClose();
         },
         cncpeer::kExitCommand,
         "DBUG 3 -> \"100\"\n",
         "expected \"200\\r\\n\""},
        {"PRBE not answered",
         {"PRBE"},
         [](FakeAgent& a) {
             if (!a.handshake()) return;
             a.readFrame();
             a.waitForPeerToClose();
         },
         cncpeer::kExitCommand,
         "verdict",
         "PRBE: no answer"},
        {"QUIT leaves the connection open",
         {"QUIT"},
         [](FakeAgent& a) {
             if (!a.handshake()) return;
             a.readFrame();
             a.sendFrame("100");
             a.waitForPeerToClose();
         },
         cncpeer::kExitCommand,
         "QUIT -> \"100\"\n",
         "kept the connection open"},
        {"UPDT restarts the agent",
         {"UPDT"},
         [](FakeAgent& a) {
             if (!a.handshake()) return;
             a.readFrame();
             a.closeConnection();
         },
         cncpeer::kExitOk,
         "UPDT -> connection closed (the agent restarts)\n",
         ""},
        {"UPDT restart with commands left",
         {"UPDT", "PRBE", "QUIT"},
         [](FakeAgent& a) {
             if (!a.handshake()) return;
             a.readFrame();
             a.closeConnection();
         },
         cncpeer::kExitCommand,
         "UPDT -> connection closed",
         "2 command(s) not sent"},
        {"UPDT failed, the session goes on",
         {"UPDT", "NOOP"},
         [](FakeAgent& a) {
             if (!a.handshake()) return;
             a.readFrame();
             a.sendFrame("200\r\n");
             a.readFrame();
             a.waitForPeerToClose();
         },
         cncpeer::kExitOk,
         "UPDT -> \"200\\r\\n\"\nNOOP -> acknowledged\n",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeAgent agent;
        agent.start(c.script);
        std::vector<std::string> args = {"--port", std::to_string(agent.port()), "--timeout",
                                         "500"};
        args.insert(args.end(), c.commands.begin(), c.commands.end());
        CliRun run = runCli(args);
        agent.join();
        EXPECT_EQ(c.code, run.code);
        EXPECT_NE(std::string::npos, run.out.find(c.out)) << run.out;
        EXPECT_NE(std::string::npos, run.err.find(c.err)) << run.err;
        if (c.code == cncpeer::kExitOk) {
            EXPECT_EQ("", run.err);
        }
    }
}

TEST(CncPeerCli, RefusesBadArgumentsBeforeConnecting) {
    int freePort = 0;
    {
        FakeAgent gone;
        freePort = gone.port();
    }
    CliRun refused = runCli({"--port", std::to_string(freePort), "NOOP"});
    EXPECT_EQ(cncpeer::kExitConnect, refused.code);
    EXPECT_NE(std::string::npos, refused.err.find("cannot connect")) << refused.err;

    // Usage problems are found before any connection is tried: the port
    // given is the free one, so an attempt would show as exit code 2.
    const std::string port = std::to_string(freePort);
    const std::vector<std::vector<std::string>> bad = {
        {"--port", port},
        {"--port", port, "noop"},
        {"--port", port, "QUIT", "NOOP"},
        {"--port", port, "XYZ", "PRBE"},
        {"--port", port, "DBUG", "3", "4"},
        {"--port", port, "CNFG", std::string(2040, 'p')},
        // "CNFG " and CR LF leave 2025 bytes of a 2032-byte command text.
        {"--port", port, "CNFG", std::string(2026, 'p')},
        {"--port", "0", "NOOP"},
        {"--port", "80x", "NOOP"},
        {"--port", port, "--key", "0011", "NOOP"},
        {"--port", port, "--timeout", "0", "NOOP"},
        {"--port", port, "--bogus", "NOOP"},
        {"--port", port, "--host"},
        {"--port", port, "--interval", "100", "PRBE"},
        {"watch", "--port", port, "PRBE"},
        {"watch", "--port", port, "--interval", "0"},
        {"watch", "--port", port, "--interval"},
    };
    for (const std::vector<std::string>& args : bad) {
        CliRun run = runCli(args);
        EXPECT_EQ(cncpeer::kExitUsage, run.code) << args.back();
        EXPECT_EQ("", run.out) << args.back();
        EXPECT_NE(std::string::npos, run.err.find("--help")) << run.err;
    }
    // The longest payload that fits passes the checks and goes on to connect.
    CliRun longest = runCli({"--port", port, "CNFG", std::string(2025, 'p')});
    EXPECT_EQ(cncpeer::kExitConnect, longest.code) << longest.err;

    CliRun help = runCli({"--help"});
    EXPECT_EQ(cncpeer::kExitOk, help.code);
    EXPECT_EQ(cncpeer::kUsage, help.out);
}

// The time field changes from run to run; the rest must be exact.
std::string withoutTimes(const std::string& lines) {
    static const std::regex time(
        "\\{\"time\":\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z\",");
    return std::regex_replace(lines, time, "{");
}

TEST(CncPeerCli, JsonGivesOneObjectPerCommandAndNothingElse) {
    FakeAgent agent;
    agent.start([](FakeAgent& a) {
        if (!a.handshake()) return;
        a.readFrame();
        a.sendFrame("200\r\n");
        a.readFrame();
        a.sendFrame("A\"b\\\xC3\xA9\n\n");
        a.readFrame();
        a.readFrame();
        a.sendFrame("100");
        a.closeConnection();
    });
    CliRun run = runCli({"--port", std::to_string(agent.port()), "--timeout", "3000", "--json",
                         "DBUG", "3", "PRBE", "NOOP", "QUIT"});
    agent.join();
    EXPECT_EQ(cncpeer::kExitOk, run.code) << run.err;
    const std::string where = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(agent.port());
    EXPECT_EQ(
        where +
            ",\"command\":\"DBUG\",\"argument\":\"3\",\"answer\":\"200\\r\\n\",\"closed\":false}"
            "\n" +
            where +
            ",\"command\":\"PRBE\",\"argument\":null,\"answer\":\"A\\\"b\\\\\\u00e9\\n\\n\","
            "\"closed\":false}\n" +
            where + ",\"command\":\"NOOP\",\"argument\":null,\"answer\":null,\"closed\":false}\n" +
            where + ",\"command\":\"QUIT\",\"argument\":null,\"answer\":\"100\",\"closed\":true}\n",
        withoutTimes(run.out));
    EXPECT_EQ("", run.err);
}

// With --json every failure still gives an object, with the problem in
// "error", and the exit code is the one the text form gives.
TEST(CncPeerCli, JsonWritesAnObjectForTheFailure) {
    using Script = std::function<void(FakeAgent&)>;
    struct Case {
        const char* what;
        std::vector<std::string> commands;
        Script script;
        int code;
        const char* out;  // the objects, without their time, host and port
    };
    const Case cases[] = {
        {"NOOP not acknowledged",
         {"NOOP"},
         [](FakeAgent& a) {
             if (!a.handshake()) return;
             a.receiveOnce(2048);
             a.closeConnection();
         },
         cncpeer::kExitCommand,
         ",\"command\":\"NOOP\",\"argument\":null,\"answer\":null,\"closed\":false,\"error\":"},
        {"DBUG answered wrongly",
         {"DBUG", "3"},
         [](FakeAgent& a) {
             if (!a.handshake()) return;
             a.readFrame();
             a.sendFrame("100");
             a.waitForPeerToClose();
         },
         cncpeer::kExitCommand,
         ",\"command\":\"DBUG\",\"argument\":\"3\",\"answer\":\"100\",\"closed\":false,"
         "\"error\":\"expected \\\"200\\\\r\\\\n\\\"\"}\n"},
        {"UPDT restart with commands left",
         {"UPDT", "PRBE"},
         [](FakeAgent& a) {
             if (!a.handshake()) return;
             a.readFrame();
             a.closeConnection();
         },
         cncpeer::kExitCommand,
         ",\"command\":\"UPDT\",\"argument\":null,\"answer\":null,\"closed\":true}\n"
         "{,\"command\":\"PRBE\",\"argument\":null,\"answer\":null,\"closed\":false,"
         "\"error\":\"the connection has ended; 1 command(s) not sent\"}\n"},
        {"handshake answered 200 Failed",
         {"NOOP"},
         [](FakeAgent& a) {
             a.handshake(true);
             a.waitForPeerToClose();
         },
         cncpeer::kExitHandshake,
         ",\"error\":\"handshake failed: the agent answered \\\"200 Failed\\\"\"}\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeAgent agent;
        agent.start(c.script);
        std::vector<std::string> args = {"--port", std::to_string(agent.port()), "--timeout", "500",
                                         "--json"};
        args.insert(args.end(), c.commands.begin(), c.commands.end());
        CliRun run = runCli(args);
        agent.join();
        EXPECT_EQ(c.code, run.code) << run.err;
        const std::string where =
            "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(agent.port());
        // Host and port stand in every object; the case gives the rest.
        std::string out = withoutTimes(run.out);
        for (size_t at = out.find(where); at != std::string::npos; at = out.find(where, at)) {
            out.replace(at, where.size(), "{");
        }
        EXPECT_EQ(0u, out.rfind(std::string("{") + c.out, 0)) << out;
        EXPECT_EQ(std::string::npos, run.err.find("{")) << run.err;
    }

    // No connection: one object with the problem.
    int freePort = 0;
    {
        FakeAgent gone;
        freePort = gone.port();
    }
    CliRun refused = runCli({"--port", std::to_string(freePort), "--json", "NOOP"});
    EXPECT_EQ(cncpeer::kExitConnect, refused.code);
    EXPECT_NE(std::string::npos,
              withoutTimes(refused.out)
                  .find("{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(freePort) +
                        ",\"error\":\"cannot connect"))
        << refused.out;
}

// Watch prints every scan of every answer once, in order, an empty scan as
// an empty line, and ends with QUIT once a stop is requested.
TEST(CncPeerWatch, PrintsEachScanOnceAndQuitsOnStop) {
    for (bool json : {false, true}) {
        SCOPED_TRACE(json ? "json" : "text");
        cncpeer::clearStopRequest();
        FakeAgent agent;
        agent.start([](FakeAgent& a) {
            if (!a.handshake()) return;
            a.readFrame();
            a.sendFrame("s1\n\ns2\n");
            a.readFrame();
            a.sendFrame("");
            a.readFrame();
            a.sendFrame("s3\n");
            cncpeer::requestStop();
            a.readFrame();
            a.sendFrame("100");
            a.closeConnection();
        });
        cncpeer::WatchSettings settings;
        settings.host = "127.0.0.1";
        settings.port = agent.port();
        settings.timeoutMs = 3000;
        settings.intervalMs = 200;
        settings.json = json;
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(0, cncpeer::runWatch(settings, out, err));
        agent.join();
        EXPECT_EQ((std::vector<std::string>{"PRBE\r\n", "PRBE\r\n", "PRBE\r\n", "QUIT\r\n"}),
                  agent.commands);
        // The verdict, the three answers and the QUIT answer, each acknowledged.
        EXPECT_EQ("*****", agent.acks);
        if (json) {
            const std::string where =
                "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(agent.port()) + ",\"scan\":";
            EXPECT_EQ(
                where + "\"s1\"}\n" + where + "\"\"}\n" + where + "\"s2\"}\n" + where + "\"s3\"}\n",
                withoutTimes(out.str()));
        } else {
            EXPECT_EQ("s1\n\ns2\ns3\n", out.str());
        }
        EXPECT_NE(std::string::npos, err.str().find("cncpeer: watching 127.0.0.1:")) << err.str();
        EXPECT_NE(std::string::npos, err.str().find("cncpeer: stopped")) << err.str();
    }
    cncpeer::clearStopRequest();
}

// What a stream had written out at its last flush, readable from another
// thread: what a reader of standard output could have seen by then.
class FlushRecorder : public std::stringbuf {
public:
    std::string flushed() {
        std::lock_guard<std::mutex> hold(lock_);
        return flushed_;
    }

protected:
    int sync() override {
        std::lock_guard<std::mutex> hold(lock_);
        flushed_ = str();
        return 0;
    }

private:
    std::mutex lock_;
    std::string flushed_;
};

// The agent takes the acknowledgement as delivery, so by the time it arrives
// the scans must be written out and flushed.
TEST(CncPeerWatch, ScansAreWrittenOutBeforeTheAnswerIsAcknowledged) {
    cncpeer::clearStopRequest();
    FlushRecorder sink;
    std::ostream out(&sink);
    std::string atAck = "<no acknowledgement>";
    FakeAgent agent;
    agent.start([&](FakeAgent& a) {
        if (!a.handshake()) return;
        a.readFrame();
        a.sendBytes(a.frameOf("s1\ns2\n"));
        std::string ack = a.receiveOnce(1);
        if (ack == "*") atAck = sink.flushed();
        cncpeer::requestStop();
        a.readFrame();
        a.sendFrame("100");
        a.closeConnection();
    });
    cncpeer::WatchSettings settings;
    settings.host = "127.0.0.1";
    settings.port = agent.port();
    settings.timeoutMs = 3000;
    settings.intervalMs = 50;
    std::ostringstream err;
    EXPECT_EQ(0, cncpeer::runWatch(settings, out, err));
    agent.join();
    EXPECT_EQ("s1\ns2\n", atAck);
    EXPECT_EQ((std::vector<std::string>{"PRBE\r\n", "QUIT\r\n"}), agent.commands);
    cncpeer::clearStopRequest();
}

// A stream whose every write fails, as standard output on a full disk or a
// closed pipe.
class FailingSink : public std::streambuf {
protected:
    int overflow(int) override { return traits_type::eof(); }
    std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
};

// When the scans cannot be written out, the answer is not acknowledged (the
// agent keeps them), standard error says why and the exit status is 5, in
// watch mode and one-shot alike.
TEST(CncPeerCli, AnswerIsNotAcknowledgedWhenTheOutputFails) {
    for (bool watch : {false, true}) {
        SCOPED_TRACE(watch ? "watch" : "one-shot");
        cncpeer::clearStopRequest();
        std::string afterAnswer = "<nothing read>";
        FakeAgent agent;
        agent.start([&](FakeAgent& a) {
            if (!a.handshake()) return;
            a.readFrame();
            a.sendBytes(a.frameOf("s1\n"));
            afterAnswer = a.receiveOnce(1);  // the acknowledgement, or the close
        });
        FailingSink sink;
        std::ostream out(&sink);
        std::ostringstream err;
        int code = 0;
        if (watch) {
            cncpeer::WatchSettings settings;
            settings.host = "127.0.0.1";
            settings.port = agent.port();
            settings.timeoutMs = 3000;
            code = cncpeer::runWatch(settings, out, err);
        } else {
            code =
                cncpeer::runCli({"--port", std::to_string(agent.port()), "PRBE", "QUIT"}, out, err);
        }
        agent.join();
        EXPECT_EQ(cncpeer::kExitOutput, code);
        EXPECT_EQ("", afterAnswer);
        EXPECT_EQ("*", agent.acks);  // the verdict's only
        EXPECT_NE(std::string::npos, err.str().find("cannot write to standard output"))
            << err.str();
        EXPECT_NE(std::string::npos, err.str().find("the answer is not acknowledged")) << err.str();
    }
    cncpeer::clearStopRequest();
}

// With nothing to connect to, the pause before each try doubles from 250 ms
// and stays at 5 s; the pauses are recorded, not slept.
TEST(CncPeerWatch, RetryPausesDoubleUpToFiveSeconds) {
    cncpeer::clearStopRequest();
    int freePort = 0;
    {
        FakeAgent gone;
        freePort = gone.port();
    }
    std::vector<int> pauses;
    cncpeer::WatchSettings settings;
    settings.host = "127.0.0.1";
    settings.port = freePort;
    settings.timeoutMs = 500;
    settings.pause = [&pauses](int ms) {
        pauses.push_back(ms);
        if (pauses.size() == 9) cncpeer::requestStop();
    };
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(0, cncpeer::runWatch(settings, out, err));
    EXPECT_EQ((std::vector<int>{250, 500, 1000, 2000, 4000, 5000, 5000, 5000, 5000}), pauses);
    EXPECT_EQ("", out.str());
    EXPECT_NE(std::string::npos, err.str().find("next try in 5000 ms")) << err.str();
    cncpeer::clearStopRequest();
}

}  // namespace
