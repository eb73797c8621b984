// docs/protocol.md against the code: its worked bytes are made again here
// with the agent's cipher object and the peer's frame code and compared byte
// for byte, its command table with the agent's table and the answers the
// agent's own session gives, so the document fails the tests as soon as it
// and the code disagree.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/activity_log.h"
#include "peer/cnc_peer.h"
#include "peer/commands.h"
#include "platform/platform.h"
#include "scans/scan_journal_format.h"
#include "session/command_table.h"
#include "session/dnc_session.h"
#include "test_support.h"
#include "transport/aes128.h"
#include "transport/secure_socket.h"
#include "transport/session_encryptor.h"

namespace {

using peer::Answer;
using peer::answerFor;
using peer::CncPeer;
using peer::decodeFrame;
using peer::encodeFrame;
using peer::HandshakeOptions;
using peer::Key;
using peer::Status;
using Bytes = std::vector<unsigned char>;

// The document's example: its session key and the agent's random half.
const Bytes kSessionKey = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                           0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
const Bytes kRandomHalf = {0x5a, 0x17, 0xc3, 0x08, 0x9e, 0x41, 0xb2, 0x6d};
const char kTwoScans[] = "4006381333931\nRFID-00A7\n";

std::string documentText() {
    const std::string path = std::string(VXHID_SOURCE_DIR) + "/docs/protocol.md";
    // Under Wine the Unix root is drive Z:.
    for (const std::string& prefix : {std::string(), std::string("Z:")}) {
        std::ifstream in(prefix + path, std::ios::binary);
        if (!in) continue;
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    ADD_FAILURE() << "cannot read " << path;
    return std::string();
}

std::string hexOf(const Bytes& bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
        text += (i % 16 == 15 || i + 1 == bytes.size()) ? "\n" : " ";
    }
    return text;
}

// Every fenced block opened with "```hex NAME", by name. A block that is not
// pairs of hex digits is reported and left out, and so is an opening whose
// name or body the pattern does not take: no block is skipped unnoticed.
std::map<std::string, Bytes> hexBlocks(const std::string& document) {
    std::map<std::string, Bytes> blocks;
    static const std::regex block("```hex ([A-Za-z0-9_-]+)\n([^`]*)```");
    size_t openings = 0;
    for (size_t at = document.find("```hex"); at != std::string::npos;
         at = document.find("```hex", at + 1)) {
        ++openings;
    }
    size_t matched = static_cast<size_t>(std::distance(
        std::sregex_iterator(document.begin(), document.end(), block), std::sregex_iterator()));
    EXPECT_EQ(openings, matched) << "a ```hex block with a name or body that is not read";
    for (std::sregex_iterator it(document.begin(), document.end(), block), end; it != end; ++it) {
        const std::string name = (*it)[1];
        std::istringstream words((*it)[2]);
        Bytes bytes;
        std::string word;
        while (words >> word) {
            if (word.size() != 2 ||
                word.find_first_not_of("0123456789abcdef") != std::string::npos) {
                ADD_FAILURE() << "block " << name << ": \"" << word << "\" is no byte";
                break;
            }
            bytes.push_back(static_cast<unsigned char>(std::stoi(word, nullptr, 16)));
        }
        EXPECT_TRUE(blocks.emplace(name, bytes).second) << "block " << name << " twice";
    }
    return blocks;
}

Bytes block(const unsigned char* bytes) { return Bytes(bytes, bytes + 16); }

// The frame the agent sends for message, built by its cipher object.
Bytes agentFrame(SessionEncryptor& cipher, const std::string& message) {
    unsigned char staging[frame::kStagingBufferSize] = {};
    std::memcpy(staging, message.data(), message.size());
    int length = cipher.encodeFrame(staging, static_cast<int>(message.size()));
    return Bytes(cipher.frameBuffer, cipher.frameBuffer + (length > 0 ? length : 0));
}

// The same message framed by the peer's code: the two must agree.
Bytes peerFrame(const std::string& message) {
    Key key;
    std::memcpy(key.data(), kSessionKey.data(), key.size());
    std::string bytes;
    EXPECT_TRUE(encodeFrame(key, message, bytes));
    return Bytes(bytes.begin(), bytes.end());
}

// A frame's blocks decrypted with the session key: the frame before encryption.
Bytes plainFrame(const Bytes& frameBytes) {
    Bytes plain(frameBytes.size());
    for (size_t offset = 0; offset + 16 <= frameBytes.size(); offset += 16) {
        decryptBlock(frameBytes.data() + offset, kSessionKey.data(), plain.data() + offset);
    }
    return plain;
}

// The agent opens a frame the peer sent, as it does after reading it.
std::string agentOpens(SessionEncryptor& cipher, const Bytes& frameBytes) {
    std::memcpy(cipher.frameBuffer, frameBytes.data(), frameBytes.size());
    unsigned char output[frame::kFrameBufferSize] = {};
    int length = cipher.decodeFrame(output, static_cast<int>(frameBytes.size()));
    return length < 0 ? "<corrupt>" : std::string(reinterpret_cast<char*>(output), length);
}

Bytes journalBytes(void (*append)(std::string&)) {
    std::string record;
    append(record);
    return Bytes(record.begin(), record.end());
}
// The journal records the document shows: the first of the two scans, and
// the mark that it was delivered.
void scanRecord(std::string& out) { scan_journal::appendScanRecord(out, 1, "4006381333931"); }
void deliveredRecord(std::string& out) { scan_journal::appendDeliveredRecord(out, 1); }

TEST(ProtocolDocument, WorkedBytesAreWhatTheCodeMakes) {
    const std::map<std::string, Bytes> documented = hexBlocks(documentText());

    // The peer's session code; the agent takes the session key from it.
    unsigned char sessionCode[16];
    encryptBlock(kSessionKey.data(), builtInKey, sessionCode);
    auto cipher = std::make_unique<SessionEncryptor>();
    cipher->makeResponseCode(sessionCode);
    ASSERT_EQ(kSessionKey, block(cipher->sessionKey));

    // makeResponseCode sends its response block encrypted with the built-in
    // key: the key's first half, then a random half drawn anew (from the
    // clock) at each handshake, which no test can choose. What it made is
    // checked to be exactly that; then the example's random half is put in
    // place of the one drawn and encrypted the same way.
    ASSERT_EQ(Bytes(kSessionKey.begin(), kSessionKey.begin() + 8),
              Bytes(cipher->responseCode, cipher->responseCode + 8));
    unsigned char sent[16];
    encryptBlock(cipher->responseCode, builtInKey, sent);
    ASSERT_EQ(block(sent), block(cipher->encryptedResponse));
    std::memcpy(cipher->responseCode + 8, kRandomHalf.data(), kRandomHalf.size());
    encryptBlock(cipher->responseCode, builtInKey, cipher->encryptedResponse);

    const std::map<std::string, Bytes> expected = {
        {"session-key", kSessionKey},
        {"session-code", block(sessionCode)},
        {"response-plain", block(cipher->responseCode)},
        {"response-code", block(cipher->encryptedResponse)},
        {"confirmation-code", block(cipher->encryptedResponse)},
        {"verdict-plain", plainFrame(agentFrame(*cipher, "100 Confirmed"))},
        {"verdict-frame", agentFrame(*cipher, "100 Confirmed")},
        {"prbe-plain", plainFrame(peerFrame("PRBE\r\n"))},
        {"prbe-frame", peerFrame("PRBE\r\n")},
        {"answer-plain", plainFrame(agentFrame(*cipher, kTwoScans))},
        {"answer-frame", agentFrame(*cipher, kTwoScans)},
        {"empty-answer-plain", plainFrame(agentFrame(*cipher, ""))},
        {"empty-answer-frame", agentFrame(*cipher, "")},
        {"dbug-answer-plain", plainFrame(agentFrame(*cipher, "200\r\n"))},
        {"dbug-answer-frame", agentFrame(*cipher, "200\r\n")},
        {"failed-verdict-plain", plainFrame(agentFrame(*cipher, "200 Failed"))},
        {"failed-verdict-frame", agentFrame(*cipher, "200 Failed")},
        {"journal-scan", journalBytes(scanRecord)},
        {"journal-delivered", journalBytes(deliveredRecord)},
    };
    for (const auto& [name, bytes] : expected) {
        auto found = documented.find(name);
        if (found == documented.end()) {
            ADD_FAILURE() << "no block ```hex " << name << " in the document; it is\n"
                          << hexOf(bytes);
            continue;
        }
        EXPECT_EQ(hexOf(bytes), hexOf(found->second)) << "block " << name;
    }
    for (const auto& entry : documented) {
        EXPECT_EQ(1u, expected.count(entry.first)) << "no test for block " << entry.first;
    }

    // The bytes work as the document says: the agent accepts the
    // confirmation and reads the command, the peer reads the answer.
    auto bytesOf = [&](const char* name) {
        auto found = documented.find(name);
        return found == documented.end() ? Bytes() : found->second;
    };
    Bytes confirmation = bytesOf("confirmation-code");
    ASSERT_EQ(16u, confirmation.size());
    EXPECT_TRUE(cipher->checkConfirmationCode(confirmation.data()));
    EXPECT_EQ(peerFrame("PRBE\r\n"), agentFrame(*cipher, "PRBE\r\n"));
    EXPECT_EQ("PRBE\r\n", agentOpens(*cipher, bytesOf("prbe-frame")));
    EXPECT_EQ(command::kPrbe, command::codeOfWord("PRBE", 4));

    Key key;
    std::memcpy(key.data(), kSessionKey.data(), key.size());
    Bytes answer = bytesOf("answer-frame");
    std::string message;
    std::string error;
    EXPECT_TRUE(decodeFrame(key, std::string(answer.begin(), answer.end()), message, error))
        << error;
    EXPECT_EQ(kTwoScans, message);

    // The documented journal reads back as it says: the scan alone is
    // undelivered, with its mark nothing is.
    Bytes journal = bytesOf("journal-scan");
    scan_journal::JournalReading reading =
        scan_journal::readJournal(journal.data(), journal.size());
    ASSERT_EQ(1u, reading.undelivered.size());
    EXPECT_EQ("4006381333931", reading.undelivered[0].text);
    Bytes mark = bytesOf("journal-delivered");
    journal.insert(journal.end(), mark.begin(), mark.end());
    reading = scan_journal::readJournal(journal.data(), journal.size());
    EXPECT_TRUE(reading.undelivered.empty());
    EXPECT_EQ(0, reading.damagedStretches);
}

// One row of the document's command table.
struct DocumentedCommand {
    std::string word;
    int code;
    std::string answer;  // the answer column as written
};

// Rows "| `WORD` | code | what the agent does | answer |".
std::vector<DocumentedCommand> documentedCommands(const std::string& document) {
    static const std::regex row("\\n\\| `([A-Z]{3,4})` \\| ([0-9]+) \\| [^|]+\\| ([^|\\n]+) \\|");
    std::vector<DocumentedCommand> rows;
    for (std::sregex_iterator it(document.begin(), document.end(), row), end; it != end; ++it) {
        rows.push_back({(*it)[1], std::stoi((*it)[2]), (*it)[3]});
    }
    return rows;
}

// The fixed answer texts the table names, as bytes.
const std::map<std::string, std::string> kAnswerTexts = {
    {"\"100\"", "100"},
    {"\"200\" CR LF", "200\r\n"},
};

// Hex pairs with blanks between, as the document writes short byte strings.
std::string inlineHex(const std::string& text) {
    std::string hex = hexOf(Bytes(text.begin(), text.end()));
    return hex.substr(0, hex.size() - 1);
}

TEST(ProtocolDocument, BuiltInKeyAndCommandTableAreTheAgents) {
    const std::string document = documentText();
    EXPECT_NE(std::string::npos, document.find("`" + hexOf(block(builtInKey)).substr(0, 47) + "`"))
        << "the built-in key in hex: " << hexOf(block(builtInKey));

    const std::vector<DocumentedCommand> rows = documentedCommands(document);
    for (const DocumentedCommand& row : rows) {
        SCOPED_TRACE(row.word);
        EXPECT_EQ(row.code,
                  command::codeOfWord(row.word.c_str(), static_cast<unsigned>(row.word.size())));
        // An answer frame comes exactly for the words the peer expects one for.
        EXPECT_EQ(row.answer == "none", answerFor(row.word) == Answer::kNone) << row.answer;
        // Every answer is "none", a fixed text the session test below sends
        // for, or one of the two described in their own sections.
        EXPECT_TRUE(row.answer == "none" || kAnswerTexts.count(row.answer) == 1 ||
                    row.word == "UPDT" || row.word == "PRBE")
            << "an answer the tests do not know: " << row.answer;
    }
    EXPECT_EQ(19u, rows.size()) << "every word of the command table, once";

    // "Answers in bytes": each fixed text and its bytes.
    for (const auto& [written, bytes] : kAnswerTexts) {
        EXPECT_NE(std::string::npos, document.find(written + " is `" + inlineHex(bytes) + "`"))
            << written << " is `" << inlineHex(bytes) << "`";
    }
}

// The agent's own session, with the document's session key: the
// announcement the document quotes is the one the agent sends, the
// handshake and a PRBE go through as the document shows, and each command
// is answered as the command table says.
TEST(ProtocolDocument, AgentsSessionAnnouncesAndAnswersAsDocumented) {
    constexpr int kWaitMs = 5000;
    testing_support::LogCapture log{1};
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    socklen_t size = sizeof address;
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    CncPeer peer;
    ASSERT_TRUE(peer.connect("127.0.0.1", ntohs(address.sin_port), kWaitMs)) << peer.lastError();
    SOCKET accepted = accept(listener, nullptr, nullptr);
    closesocket(listener);

    DncSession session;
    session.properties = &log.properties();
    session.ClientSocket = new vSecureSocket;
    session.ClientSocket->handle = accepted;
    session.ClientSocket->connected = accepted != INVALID_SOCKET;
    session.ClientSocket->setTimeout(kWaitMs, kWaitMs);
    std::thread agent([&session] { session.doSession(); });

    HandshakeOptions options;
    options.useKey = true;
    std::memcpy(options.key.data(), kSessionKey.data(), options.key.size());
    EXPECT_TRUE(peer.handshake(options, kWaitMs)) << peer.lastError();
    EXPECT_EQ(83u, peer.announcement().size());
    EXPECT_NE(std::string::npos, documentText().find("`" + peer.announcement() + "`"))
        << "the announcement is \"" << peer.announcement() << "\"";
    EXPECT_EQ(Status::kOk, peer.sendCommand("PRBE\r\n", kWaitMs)) << peer.lastError();
    std::string answer = "<none>";
    EXPECT_EQ(Status::kOk, peer.readAnswer(answer, kWaitMs)) << peer.lastError();
    EXPECT_EQ("", answer);  // the base session's probe hands over nothing

    // Every word the table answers with "none" or a fixed text, as the table
    // says (UPDT would replace the program; QUIT comes last). An answer
    // frame where the table says none would be taken for the next
    // acknowledgement and break the exchange, so the PRBE after them shows
    // there was none.
    std::string quitAnswer;
    for (const DocumentedCommand& row : documentedCommands(documentText())) {
        SCOPED_TRACE(row.word);
        auto fixed = kAnswerTexts.find(row.answer);
        if (row.word == "QUIT" && fixed != kAnswerTexts.end()) quitAnswer = fixed->second;
        if (row.word == "QUIT" || row.word == "UPDT" || row.word == "PRBE") continue;
        const std::string text = row.word + (row.word == "DBUG" ? " 1" : "") + "\r\n";
        EXPECT_EQ(Status::kOk, peer.sendCommand(text, kWaitMs)) << peer.lastError();
        if (fixed == kAnswerTexts.end()) continue;
        answer = "<none>";
        EXPECT_EQ(Status::kOk, peer.readAnswer(answer, kWaitMs)) << peer.lastError();
        EXPECT_EQ(fixed->second, answer);
    }
    EXPECT_EQ(Status::kOk, peer.sendCommand("PRBE\r\n", kWaitMs)) << peer.lastError();
    answer = "<none>";
    EXPECT_EQ(Status::kOk, peer.readAnswer(answer, kWaitMs)) << peer.lastError();
    EXPECT_EQ("", answer);

    // QUIT ends the session at once; a silent close would leave the agent
    // polling for its read time-out.
    EXPECT_EQ(Status::kOk, peer.sendCommand("QUIT\r\n", kWaitMs)) << peer.lastError();
    EXPECT_EQ(Status::kOk, peer.readAnswer(answer, kWaitMs)) << peer.lastError();
    EXPECT_FALSE(quitAnswer.empty()) << "the table gives no fixed answer to QUIT";
    EXPECT_EQ(quitAnswer, answer);

    peer.close();
    agent.join();
    session.ShutdownThread();
}

}  // namespace
