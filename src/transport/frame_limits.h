#pragma once
// Sizes and marker bytes of the encrypted frames exchanged with the CNC Service.

namespace frame {

constexpr int kBlockSize = 16;  // one AES block; also the header's size
// An encrypted message is staged here before it is framed, fill bytes
// included, so no encrypted message is longer than this.
constexpr int kStagingBufferSize = 2048;
constexpr int kMaxMessageLength = kStagingBufferSize;
// The cipher object's frame buffer; no receive may ask for more.
constexpr int kFrameBufferSize = 10240;
constexpr int kMaxFill = kBlockSize - 1;

constexpr unsigned char kFillByte = 0x2A;  // '*': fill bytes and header bytes 3 to 15
constexpr unsigned char kAckByte = 0x2A;   // the one-byte acknowledgement of a frame

}  // namespace frame
