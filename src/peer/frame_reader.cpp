#include "peer/frame_reader.h"

#include <algorithm>
#include <cstring>

namespace peer {

namespace {
constexpr std::size_t kBlock = frame::kBlockSize;
}  // namespace

std::size_t FrameReader::wanted() const {
    std::size_t step = frameLength_ == 0 ? kBlock : static_cast<std::size_t>(frameLength_);
    return step - received_;
}

FrameReader::Result FrameReader::feed(const char* data, std::size_t size, std::size_t& consumed) {
    consumed = 0;
    for (;;) {
        std::size_t take = std::min(wanted(), size - consumed);
        if (take > 0) std::memcpy(bytes_.data() + received_, data + consumed, take);
        received_ += take;
        consumed += take;
        if (wanted() > 0) return Result::needMore;
        if (frameLength_ == 0) {
            int fill = 0;
            int length = 0;
            if (!readFrameHeader(key_, bytes_.data(), fill, length, error_)) {
                return finish(Result::malformed);
            }
            frameLength_ = length;
            continue;  // the rest of the frame, if any came with the header
        }
        if (!decodeFrame(key_, bytes_.data(), received_, message_, error_)) {
            return finish(Result::malformed);
        }
        return finish(Result::frame);
    }
}

FrameReader::Result FrameReader::finish(Result result) {
    received_ = 0;
    frameLength_ = 0;
    return result;
}

}  // namespace peer
