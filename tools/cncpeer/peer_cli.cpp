#include "peer_cli.h"

#include <cstdlib>

#include "cnc_peer.h"

namespace cncpeer {

const char kUsage[] =
    "usage: cncpeer [OPTIONS] COMMAND [ARGUMENT] [COMMAND [ARGUMENT]]...\n"
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
    "and \\xHH):\n"
    "  announcement: \"...\"\n"
    "  session key: 32 hex digits\n"
    "  verdict: \"100 Confirmed\"\n"
    "  DBUG 3 -> \"200\\r\\n\"\n"
    "  NOOP -> acknowledged\n"
    "  QUIT -> \"100\"\n"
    "  connection closed\n"
    "Problems go to standard error, starting \"cncpeer: \".\n"
    "\n"
    "Exit status: 0 done; 1 usage; 2 cannot connect; 3 handshake failed;\n"
    "4 a command was not acknowledged, or its answer did not come or was wrong.\n"
    "\n"
    "Example: cncpeer --host 127.0.0.1 --port 8194 DBUG 3 PRBE QUIT\n";

namespace {

constexpr int kMaxTimeoutMs = 3600 * 1000;

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
bool parseArguments(const std::vector<std::string>& args, Settings& settings,
                    std::string& problem) {
    size_t i = 0;
    for (; i < args.size() && args[i].compare(0, 1, "-") == 0; ++i) {
        const std::string& option = args[i];
        if (option == "--help" || option == "-h") {
            settings.help = true;
            return true;
        }
        if (option != "--host" && option != "--port" && option != "--key" &&
            option != "--timeout" && option != "--bind") {
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
        } else {
            if (!parseKey(value, settings.handshake.key)) {
                problem = "--key takes 32 hexadecimal digits, not " + value;
                return false;
            }
            settings.handshake.useKey = true;
        }
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

std::string quoted(const std::string& text) { return "\"" + escapeText(text) + "\""; }

// Sends one command and checks its answer. False, with the problem on err,
// when it was not acknowledged or its answer is missing or wrong; closed is
// set when the agent ended the connection as it should.
bool runCommand(CncPeer& peer, const Command& command, int timeoutMs, bool& closed,
                std::ostream& out, std::ostream& err) {
    std::string label = command.word;
    if (!command.argument.empty()) label += " " + escapeText(command.argument);
    auto problem = [&](const std::string& text) {
        err << "cncpeer: " << label << ": " << text << "\n";
        return false;
    };

    Status status = peer.sendCommand(commandText(command.word, command.argument), timeoutMs);
    if (status != Status::kOk) return problem(peer.lastError());

    Answer expected = answerFor(command.word);
    if (expected == Answer::kNone) {
        out << label << " -> acknowledged\n";
        return true;
    }
    std::string answer;
    status = peer.readAnswer(answer, timeoutMs);
    if (status == Status::kClosed && expected == Answer::kUpdate) {
        out << label << " -> connection closed (the agent restarts)\n";
        closed = true;
        return true;
    }
    if (status != Status::kOk) return problem("no answer: " + peer.lastError());
    out << label << " -> " << quoted(answer) << "\n";

    const char* wanted = nullptr;
    if (expected == Answer::kDone || expected == Answer::kUpdate) wanted = kDoneAnswer;
    if (expected == Answer::kQuit) wanted = kQuitAnswer;
    if (wanted != nullptr && answer != wanted) return problem("expected " + quoted(wanted));

    if (expected == Answer::kQuit) {
        if (peer.waitForClose(timeoutMs) != Status::kClosed) return problem(peer.lastError());
        out << "connection closed\n";
        closed = true;
    }
    return true;
}

}  // namespace

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

    CncPeer peer;
    peer.setSourceAddress(settings.source);
    if (!peer.connect(settings.host, settings.port, settings.timeoutMs)) {
        err << "cncpeer: " << peer.lastError() << "\n";
        return kExitConnect;
    }
    bool confirmed = peer.handshake(settings.handshake, settings.timeoutMs);
    if (!peer.announcement().empty()) {
        out << "announcement: " << quoted(peer.announcement()) << "\n";
        out << "session key: " << keyToHex(peer.sessionKey()) << "\n";
    }
    if (!peer.verdict().empty()) out << "verdict: " << quoted(peer.verdict()) << "\n";
    if (!confirmed) {
        err << "cncpeer: handshake failed: " << peer.lastError() << "\n";
        return kExitHandshake;
    }

    for (size_t i = 0; i < settings.commands.size(); ++i) {
        bool closed = false;
        if (!runCommand(peer, settings.commands[i], settings.timeoutMs, closed, out, err)) {
            return kExitCommand;
        }
        size_t left = settings.commands.size() - i - 1;
        if (closed && left > 0) {
            err << "cncpeer: the connection has ended; " << left << " command(s) not sent\n";
            return kExitCommand;
        }
    }
    return kExitOk;
}

}  // namespace cncpeer
