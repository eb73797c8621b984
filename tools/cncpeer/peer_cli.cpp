#include "peer_cli.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "peer/cnc_peer.h"
#include "peer/commands.h"
#include "peer/escape_text.h"
#include "peer/json_line.h"
#include "watch.h"

namespace cncpeer {

using peer::Answer;
using peer::answerFor;
using peer::CncPeer;
using peer::commandText;
using peer::escapeText;
using peer::HandshakeOptions;
using peer::JsonLine;
using peer::kDefaultPort;
using peer::kDefaultTimeoutMs;
using peer::kDoneAnswer;
using peer::keyToHex;
using peer::kMaxCommandLength;
using peer::kQuitAnswer;
using peer::parseKey;
using peer::Status;

const char kUsage[] =
    "usage: cncpeer [OPTIONS] COMMAND [ARGUMENT] [COMMAND [ARGUMENT]]...\n"
    "       cncpeer watch [OPTIONS] [--interval MS]\n"
    "\n"
    "Plays the CNC Service's side against an agent: connects, reads the\n"
    "announcement, sends a session code, confirms, then sends each command as an\n"
    "encrypted frame and prints what the agent answers.\n"
    "\n"
    "Options (before the first command):\n"
    "  --host HOST    the agent's address (default 127.0.0.1)\n"
    "  --port PORT    the agent's port (default 8194)\n"
    "  --bind ADDRESS connect from this local IPv4 address (default: the system's\n"
    "                 choice)\n"
    "  --key HEX      the session key, 32 hex digits (default: a random key)\n"
    "  --timeout MS   how long to wait for each reply (default 5000)\n"
    "  --json         print one JSON object per line instead (see below)\n"
    "  --help         this text\n"
    "\n"
    "Commands: a word of three or four capital letters A-Z starts a command; any\n"
    "other word is the argument of the command before it (one argument at most;\n"
    "quote an argument that holds blanks). A command goes out as \"WORD\\r\\n\" or\n"
    "\"WORD ARGUMENT\\r\\n\" and is answered as follows:\n"
    "  DBUG LEVEL     \"200\\r\\n\"\n"
    "  PRBE           the queued scans, each followed by \\n (possibly empty)\n"
    "  UPDT           \"200\\r\\n\" when the update fails; the connection ends when\n"
    "                 the agent restarts\n"
    "  QUIT           \"100\", then the agent closes the connection; so does any\n"
    "                 unknown word, and nothing may follow either\n"
    "  CNFG PAYLOAD, NOOP, CWD, TYPE, STOR, RETR, NLST, PASV, STAT, PATH, MODE,\n"
    "  SEXT, CLEN, DELE, PROT: only the acknowledgement\n"
    "\n"
    "Output, one line each; texts are quoted with C escapes (\\r \\n \\t \\\\ \\\"\n"
    "and \\xHH for bytes that are not UTF-8); characters above ASCII as they are:\n"
    "  announcement: \"...\"\n"
    "  session key: 32 hex digits\n"
    "  verdict: \"100 Confirmed\"\n"
    "  DBUG 3 -> \"200\\r\\n\"\n"
    "  NOOP -> acknowledged\n"
    "  QUIT -> \"100\"\n"
    "  connection closed\n"
    "Problems go to standard error, starting \"cncpeer: \".\n"
    "\n"
    "With --json, standard output carries only one object per command:\n"
    "  {\"time\":\"2026-12-10T05:31:34.123Z\",\"host\":\"127.0.0.1\",\"port\":8194,\n"
    "   \"command\":\"DBUG\",\"argument\":\"3\",\"answer\":\"200\\r\\n\",\"closed\":false}\n"
    "\"argument\" and \"answer\" are null when there is none (\"answer\" is null\n"
    "for a command answered by the acknowledgement alone); \"closed\" is true\n"
    "when the agent ended the connection after it. Texts are read as UTF-8:\n"
    "characters above ASCII are written as \\u escapes, bytes that are not\n"
    "UTF-8 as \\ufffd. The command that fails (not acknowledged,\n"
    "its answer missing or wrong, or not sent because the connection ended)\n"
    "gets its object too, with \"closed\":false and \"error\" holding the\n"
    "problem; no object follows it. When the connection or the handshake\n"
    "fails, the one object is {\"time\":...,\"host\":...,\"port\":...,\"error\":...}.\n"
    "\n"
    "watch: one session that sends PRBE every --interval MS (default 500) and\n"
    "prints each scan as it arrives: the scan and a line end, or with --json\n"
    "{\"time\":...,\"host\":...,\"port\":...,\"scan\":...}. When the connection\n"
    "drops or the agent restarts it connects again, waiting 250 ms after the\n"
    "first failure and twice as long after each further one, at most 5 s.\n"
    "Ctrl+C or SIGTERM ends it: QUIT when connected, then exit status 0.\n"
    "The wait between an answer and the next PRBE is the interval, exactly\n"
    "(a stop request cuts it short). Keep it well below the agent's command\n"
    "time-out (15 s by default): with a longer interval the agent has ended\n"
    "the session by the next PRBE, which then waits --timeout MS for an\n"
    "acknowledgement that never comes, so every poll connects anew.\n"
    "Standard output carries only the scans; status and problems go to\n"
    "standard error.\n"
    "\n"
    "A PRBE answer is acknowledged only once its scans are written out and\n"
    "flushed; when standard output fails (a full disk, a closed pipe) the\n"
    "answer is not acknowledged, the agent keeps its scans for the next probe,\n"
    "and cncpeer says why on standard error and ends with exit status 5.\n"
    "\n"
    "Exit status: 0 done; 1 usage; 2 cannot connect; 3 handshake failed;\n"
    "4 a command was not acknowledged, or its answer did not come or was wrong;\n"
    "5 standard output could not be written.\n"
    "\n"
    "Examples: cncpeer --host 127.0.0.1 --port 8194 DBUG 3 PRBE QUIT\n"
    "          cncpeer watch --host 127.0.0.1 --port 8194 --json\n";

namespace {

constexpr int kMaxTimeoutMs = 3600 * 1000;
constexpr int kMaxIntervalMs = 3600 * 1000;

struct Command {
    std::string word;
    std::string argument;
    bool hasArgument = false;
};

struct Settings {
    std::string host = "127.0.0.1";
    std::string source;
    int port = kDefaultPort;
    int timeoutMs = kDefaultTimeoutMs;
    HandshakeOptions handshake;
    bool help = false;
    bool json = false;
    bool watch = false;
    bool intervalGiven = false;
    int intervalMs = kDefaultIntervalMs;
    std::vector<Command> commands;
};

bool isCommandWord(const std::string& word) {
    if (word.size() != 3 && word.size() != 4) return false;
    for (char c : word) {
        if (c < 'A' || c > 'Z') return false;
    }
    return true;
}

bool parseNumber(const std::string& text, int low, int high, int& value) {
    if (text.empty() || text.size() > 10) return false;
    char* end = nullptr;
    long parsed = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || parsed < low || parsed > high) return false;
    value = static_cast<int>(parsed);
    return true;
}

// Reads the options and the command list. False with the problem when the
// arguments make no sense; nothing is sent then.
bool parseOption(const std::vector<std::string>& args, size_t& i, Settings& settings,
                 std::string& problem) {
    const std::string& option = args[i];
    if (option == "--json") {
        settings.json = true;
        return true;
    }
    if (option != "--host" && option != "--port" && option != "--key" && option != "--timeout" &&
        option != "--interval" && option != "--bind") {
        problem = "unknown option " + option;
        return false;
    }
    if (i + 1 >= args.size()) {
        problem = option + " needs a value";
        return false;
    }
    const std::string& value = args[++i];
    if (option == "--host") {
        settings.host = value;
    } else if (option == "--bind") {
        settings.source = value;
    } else if (option == "--port") {
        if (!parseNumber(value, 1, 65535, settings.port)) {
            problem = "--port takes a number from 1 to 65535, not " + value;
            return false;
        }
    } else if (option == "--timeout") {
        if (!parseNumber(value, 1, kMaxTimeoutMs, settings.timeoutMs)) {
            problem = "--timeout takes milliseconds from 1 to 3600000, not " + value;
            return false;
        }
    } else if (option == "--interval") {
        if (!parseNumber(value, 1, kMaxIntervalMs, settings.intervalMs)) {
            problem = "--interval takes milliseconds from 1 to 3600000, not " + value;
            return false;
        }
        settings.intervalGiven = true;
    } else {
        if (!parseKey(value, settings.handshake.key)) {
            problem = "--key takes 32 hexadecimal digits, not " + value;
            return false;
        }
        settings.handshake.useKey = true;
    }
    return true;
}

// Reads the options and the command list, or "watch" and its options. False
// with the problem when the arguments make no sense; nothing is sent then.
bool parseArguments(const std::vector<std::string>& args, Settings& settings,
                    std::string& problem) {
    size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option == "--help" || option == "-h") {
            settings.help = true;
            return true;
        }
        if (option == "watch" && !settings.watch) {
            settings.watch = true;
            continue;
        }
        if (option.compare(0, 1, "-") != 0) break;
        if (!parseOption(args, i, settings, problem)) return false;
    }
    if (settings.watch) {
        if (i < args.size()) {
            problem =
                "watch sends PRBE only and takes no command (\"" + escapeText(args[i]) + "\")";
            return false;
        }
        return true;
    }
    if (settings.intervalGiven) {
        problem = "--interval belongs to watch";
        return false;
    }
    for (; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (isCommandWord(word)) {
            if (!settings.commands.empty() &&
                answerFor(settings.commands.back().word) == Answer::kQuit) {
                problem =
                    settings.commands.back().word + " ends the session, so nothing may follow it";
                return false;
            }
            settings.commands.push_back(Command{word, "", false});
            continue;
        }
        if (settings.commands.empty()) {
            problem = "\"" + escapeText(word) + "\" is no command word (three or four capitals)";
            return false;
        }
        Command& command = settings.commands.back();
        if (command.hasArgument) {
            problem = command.word + " has a second argument \"" + escapeText(word) + "\"";
            return false;
        }
        command.argument = word;
        command.hasArgument = true;
        if (commandText(command.word, command.argument).size() >
            static_cast<size_t>(kMaxCommandLength)) {
            problem = command.word + " is longer than the agent reads";
            return false;
        }
    }
    if (settings.commands.empty()) {
        problem = "no command given";
        return false;
    }
    return true;
}

// Scans are UTF-8: their characters are printed as they are.
std::string quoted(const std::string& text) { return "\"" + peer::escapeUtf8Text(text) + "\""; }

// Writes what each command brought: the text lines, or with --json one
// object per command once its outcome is known.
class Report {
public:
    Report(const Settings& settings, std::ostream& out) : settings_(settings), out_(out) {}

    bool json() const { return settings_.json; }

    // The command was acknowledged and nothing more is to come.
    void acknowledged(const Command& command, const std::string& label) {
        if (!json()) {
            out_ << label << " -> acknowledged\n";
            return;
        }
        line(command).null("answer").flag("closed", false);
        flush();
    }

    // An answer came; in text form it is printed at once, before it is
    // checked, and the object waits for closed().
    void answered(const Command& command, const std::string& label, const std::string& answer) {
        if (!json()) {
            out_ << label << " -> " << quoted(answer) << "\n";
            return;
        }
        line(command).text("answer", answer);
    }

    // The agent closed the connection after the command (answered or not).
    void closed(const Command& command, const std::string& label, bool hadAnswer) {
        if (!json()) {
            out_ << (hadAnswer ? "connection closed\n"
                               : label + " -> connection closed (the agent restarts)\n");
            return;
        }
        if (!hadAnswer) line(command).null("answer");
        pending_.flag("closed", true);
        flush();
    }

    // The command failed with problem: with --json its object goes out with
    // the answer, if one came, and the problem in "error".
    void failed(const Command& command, const std::string& problem) {
        if (!json()) return;
        if (!havePending_) line(command).null("answer");
        pending_.flag("closed", false).text("error", problem);
        flush();
    }

    // The connection or the handshake failed before any command: with
    // --json one object that says so.
    void failedBeforeCommands(const std::string& problem) {
        if (!json()) return;
        out_ << JsonLine(settings_.host, settings_.port).text("error", problem).line();
        out_.flush();
    }

    // The answered command is finished: the object goes out.
    void finished() {
        if (!json() || !havePending_) return;
        pending_.flag("closed", false);
        flush();
    }

private:
    JsonLine& line(const Command& command) {
        pending_ = JsonLine(settings_.host, settings_.port);
        pending_.text("command", command.word);
        if (command.hasArgument) {
            pending_.text("argument", command.argument);
        } else {
            pending_.null("argument");
        }
        havePending_ = true;
        return pending_;
    }

    void flush() {
        out_ << pending_.line();
        out_.flush();
        havePending_ = false;
    }

    const Settings& settings_;
    std::ostream& out_;
    JsonLine pending_{"", 0};
    bool havePending_ = false;
};

// Sends one command and checks its answer. False, with the problem on err,
// when it was not acknowledged or its answer is missing or wrong, or when
// standard output failed before a PRBE answer was acknowledged (outputFailed
// set; the answer then stays unacknowledged); closed is set when the agent
// ended the connection as it should.
bool runCommand(CncPeer& peer, const Command& command, int timeoutMs, bool& closed, Report& report,
                std::ostream& out, std::ostream& err, bool& outputFailed) {
    std::string label = command.word;
    if (!command.argument.empty()) label += " " + escapeText(command.argument);
    auto problem = [&](const std::string& text) {
        report.failed(command, text);
        err << "cncpeer: " << label << ": " << text << "\n";
        return false;
    };

    Status status = peer.sendCommand(commandText(command.word, command.argument), timeoutMs);
    if (status != Status::kOk) return problem(peer.lastError());

    Answer expected = answerFor(command.word);
    if (expected == Answer::kNone) {
        report.acknowledged(command, label);
        return true;
    }
    std::string answer;
    // The agent counts a probe's scans as delivered once it has the
    // acknowledgement: it goes out only after they were written out.
    const bool probe = expected == Answer::kProbe;
    status = peer.readAnswer(answer, timeoutMs, !probe);
    if (status == Status::kClosed && expected == Answer::kUpdate) {
        report.closed(command, label, false);
        closed = true;
        return true;
    }
    if (status != Status::kOk) return problem("no answer: " + peer.lastError());
    report.answered(command, label, answer);

    const char* wanted = nullptr;
    if (expected == Answer::kDone || expected == Answer::kUpdate) wanted = kDoneAnswer;
    if (expected == Answer::kQuit) wanted = kQuitAnswer;
    if (wanted != nullptr && answer != wanted) return problem("expected " + quoted(wanted));

    if (expected == Answer::kQuit) {
        if (peer.waitForClose(timeoutMs) != Status::kClosed) return problem(peer.lastError());
        report.closed(command, label, true);
        closed = true;
        return true;
    }
    report.finished();
    if (probe) {
        if (!outputWritten(out, err, kNotAcknowledged)) {
            outputFailed = true;
            return false;
        }
        if (peer.sendAck() != Status::kOk) return problem(peer.lastError());
    }
    return true;
}

}  // namespace

bool outputWritten(std::ostream& out, std::ostream& err, const char* consequence) {
    errno = 0;
    out.flush();
    if (out.good()) return true;
    const int error = errno;
    err << "cncpeer: cannot write to standard output"
        << (error != 0 ? std::string(" (") + std::strerror(error) + ")" : std::string())
        << consequence << "\n";
    return false;
}

int runCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Settings settings;
    std::string problem;
    if (!parseArguments(args, settings, problem)) {
        err << "cncpeer: " << problem << " (see cncpeer --help)\n";
        return kExitUsage;
    }
    if (settings.help) {
        out << kUsage;
        return kExitOk;
    }
    if (settings.watch) {
        WatchSettings watch;
        watch.host = settings.host;
        watch.source = settings.source;
        watch.port = settings.port;
        watch.timeoutMs = settings.timeoutMs;
        watch.intervalMs = settings.intervalMs;
        watch.json = settings.json;
        watch.handshake = settings.handshake;
        // Only watch turns Ctrl+C into a request: a one-shot run ends at once.
        installStopHandlers();
        return runWatch(watch, out, err);
    }

    Report report(settings, out);
    CncPeer peer;
    peer.setSourceAddress(settings.source);
    if (!peer.connect(settings.host, settings.port, settings.timeoutMs)) {
        report.failedBeforeCommands(peer.lastError());
        err << "cncpeer: " << peer.lastError() << "\n";
        return kExitConnect;
    }
    bool confirmed = peer.handshake(settings.handshake, settings.timeoutMs);
    if (!peer.announcement().empty() && !settings.json) {
        out << "announcement: " << quoted(peer.announcement()) << "\n";
        out << "session key: " << keyToHex(peer.sessionKey()) << "\n";
    }
    if (!peer.verdict().empty() && !settings.json)
        out << "verdict: " << quoted(peer.verdict()) << "\n";
    if (!confirmed) {
        report.failedBeforeCommands("handshake failed: " + peer.lastError());
        err << "cncpeer: handshake failed: " << peer.lastError() << "\n";
        return kExitHandshake;
    }

    for (size_t i = 0; i < settings.commands.size(); ++i) {
        bool closed = false;
        bool outputFailed = false;
        if (!runCommand(peer, settings.commands[i], settings.timeoutMs, closed, report, out, err,
                        outputFailed)) {
            return outputFailed ? kExitOutput : kExitCommand;
        }
        size_t left = settings.commands.size() - i - 1;
        if (closed && left > 0) {
            std::string problem =
                "the connection has ended; " + std::to_string(left) + " command(s) not sent";
            report.failed(settings.commands[i + 1], problem);
            err << "cncpeer: " << problem << "\n";
            return kExitCommand;
        }
    }
    return outputWritten(out, err, "") ? kExitOk : kExitOutput;
}

}  // namespace cncpeer
