#include "peer/command_exchange.h"

#include "common/text_format.h"
#include "peer/frame_codec.h"

namespace peer {

bool CommandExchange::begin(const std::string& word, const std::string& argument,
                            std::string& frameBytes) {
    Answer answer = answerFor(word);
    expectsAnswer_ = answer != Answer::kNone && answer != Answer::kUpdate;
    acknowledged_ = false;
    finished_ = false;
    answerFrame_ = FrameReader(key_);
    answer_.clear();
    error_.clear();
    std::string text = commandText(word, argument);
    if (text.size() > static_cast<std::size_t>(kMaxCommandLength)) return false;
    return encodeFrame(key_, text, frameBytes);
}

std::size_t CommandExchange::wanted() const {
    if (finished_) return 0;
    return acknowledged_ ? answerFrame_.wanted() : 1;
}

CommandExchange::Result CommandExchange::feed(const char* data, std::size_t size,
                                              std::size_t& consumed) {
    consumed = 0;
    if (finished_) return Result::done;
    if (!acknowledged_) {
        if (size == 0) return Result::needMore;
        unsigned char byte = static_cast<unsigned char>(data[0]);
        consumed = 1;
        if (byte != frame::kAckByte) {
            error_ = formatText("acknowledgement byte 0x%02X is not '*'", byte);
            finished_ = true;
            return Result::malformed;
        }
        acknowledged_ = true;
        if (!expectsAnswer_) {
            finished_ = true;
            return Result::done;
        }
    }
    std::size_t used = 0;
    FrameReader::Result result = answerFrame_.feed(data + consumed, size - consumed, used);
    consumed += used;
    if (result == FrameReader::Result::needMore) return Result::needMore;
    finished_ = true;
    if (result == FrameReader::Result::malformed) {
        error_ = "no answer frame: " + answerFrame_.error();
        return Result::malformed;
    }
    answer_ = answerFrame_.message();
    return Result::done;
}

}  // namespace peer
