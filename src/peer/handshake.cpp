#include "peer/handshake.h"

#include <algorithm>
#include <cstring>

#include "peer/escape_text.h"
#include "transport/aes128.h"
#include "transport/session_encryptor.h"

namespace peer {

const char kConfirmed[] = "100 Confirmed";
const char kFailed[] = "200 Failed";

namespace {

constexpr std::size_t kBlock = frame::kBlockSize;
// Response bytes 0 to 7 repeat the session key; 8 to 15 are the agent's random bytes.
constexpr std::size_t kKeyHalf = 8;

void appendEncrypted(const unsigned char* plain, std::string& out) {
    unsigned char code[kBlock];
    encryptBlock(plain, builtInKey, code);
    out.append(reinterpret_cast<const char*>(code), kBlock);
}

}  // namespace

PeerHandshake::PeerHandshake(const HandshakeOptions& options)
    : options_(options), key_(options.useKey ? options.key : randomKey()), verdictFrame_(key_) {}

std::size_t PeerHandshake::wanted() const {
    switch (stage_) {
        case Stage::announcement:
            return kMaxAnnouncementLength - announcement_.size();
        case Stage::response:
            return kBlock - response_.size();
        case Stage::verdict:
            return verdictFrame_.wanted();
        default:
            return 0;
    }
}

PeerHandshake::Stage PeerHandshake::feed(const char* data, std::size_t size, std::size_t& consumed,
                                         std::string& toSend) {
    consumed = 0;
    while (consumed < size && !isOver()) {
        if (stage_ == Stage::verdict) {
            std::size_t used = 0;
            FrameReader::Result result = verdictFrame_.feed(data + consumed, size - consumed, used);
            consumed += used;
            takeVerdict(result, toSend);
            continue;
        }
        std::size_t take = std::min(wanted(), size - consumed);
        std::string& into = stage_ == Stage::announcement ? announcement_ : response_;
        into.append(data + consumed, take);
        consumed += take;
        if (stage_ == Stage::announcement) {
            if (announcement_.size() < static_cast<std::size_t>(kAnnouncementLength)) break;
            takeAnnouncement(toSend);
        } else if (response_.size() == kBlock) {
            takeResponse(toSend);
        }
    }
    return stage_;
}

PeerHandshake::Stage PeerHandshake::endAnnouncement(std::string& toSend) {
    if (stage_ == Stage::announcement && !announcement_.empty()) takeAnnouncement(toSend);
    return stage_;
}

void PeerHandshake::takeAnnouncement(std::string& toSend) {
    appendEncrypted(key_.data(), toSend);
    stage_ = Stage::response;
}

void PeerHandshake::takeResponse(std::string& toSend) {
    unsigned char plain[kBlock];
    decryptBlock(reinterpret_cast<const unsigned char*>(response_.data()), builtInKey, plain);
    if (std::memcmp(plain, key_.data(), kKeyHalf) != 0) {
        error_ = "the response code does not repeat the session key";
        stage_ = Stage::failed;
        return;
    }
    // The confirmation carries the response's random half back under the
    // built-in key; bytes 0 to 7 are free and keep the key's half.
    if (options_.wrongConfirmation) plain[kBlock - 1] ^= 0x01;
    appendEncrypted(plain, toSend);
    stage_ = Stage::verdict;
}

void PeerHandshake::takeVerdict(FrameReader::Result result, std::string& toSend) {
    if (result == FrameReader::Result::needMore) return;
    if (result == FrameReader::Result::malformed) {
        error_ = "no verdict: " + verdictFrame_.error();
        stage_ = Stage::failed;
        return;
    }
    verdict_ = verdictFrame_.message();
    if (options_.acknowledgeVerdict) toSend += static_cast<char>(frame::kAckByte);
    if (verdict_ == kConfirmed) {
        stage_ = Stage::confirmed;
    } else {
        error_ = "the agent answered \"" + escapeText(verdict_) + "\"";
        stage_ = Stage::refused;
    }
}

}  // namespace peer
