#include "scans/scan_journal_format.h"

#include <array>

namespace scan_journal {

namespace {

const unsigned char kMagic[4] = {'V', 'X', 'S', 'J'};

std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

void putLittleEndian(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::uint64_t getLittleEndian(const unsigned char* data, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | data[i];
    return value;
}

void appendRecord(std::string& out, char kind, std::uint64_t sequence, const char* text,
                  std::size_t textSize) {
    std::string payload;
    payload.reserve(1 + kSequenceSize + textSize);
    payload += kind;
    putLittleEndian(payload, sequence, kSequenceSize);
    payload.append(text, textSize);

    std::string length;
    putLittleEndian(length, payload.size(), 4);
    std::uint32_t check =
        crc32(reinterpret_cast<const unsigned char*>(length.data()), length.size());
    check = crc32(reinterpret_cast<const unsigned char*>(payload.data()), payload.size(), check);

    out.append(reinterpret_cast<const char*>(kMagic), sizeof kMagic);
    out += length;
    putLittleEndian(out, check, 4);
    out += payload;
}

// The size of the well-formed record at data, or 0 when none starts there.
std::size_t recordAt(const unsigned char* data, std::size_t available) {
    if (available < kHeaderSize) return 0;
    for (std::size_t i = 0; i < sizeof kMagic; ++i) {
        if (data[i] != kMagic[i]) return 0;
    }
    std::uint64_t length = getLittleEndian(data + 4, 4);
    if (length < 1 + kSequenceSize || length > kMaxPayload) return 0;
    if (length > available - kHeaderSize) return 0;
    const unsigned char* payload = data + kHeaderSize;
    if (payload[0] == kDeliveredRecord) {
        if (length != 1 + kSequenceSize) return 0;
    } else if (payload[0] != kScanRecord) {
        return 0;
    }
    std::uint32_t check = crc32(data + 4, 4);
    check = crc32(payload, static_cast<std::size_t>(length), check);
    if (check != getLittleEndian(data + 8, 4)) return 0;
    return kHeaderSize + static_cast<std::size_t>(length);
}

}  // namespace

std::uint32_t crc32(const unsigned char* data, std::size_t size, std::uint32_t crc) {
    static const std::array<std::uint32_t, 256> table = makeCrcTable();
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void appendScanRecord(std::string& out, std::uint64_t sequence, const std::string& text) {
    std::size_t size = text.size() < kMaxScanText ? text.size() : kMaxScanText;
    appendRecord(out, kScanRecord, sequence, text.data(), size);
}

void appendDeliveredRecord(std::string& out, std::uint64_t sequence) {
    appendRecord(out, kDeliveredRecord, sequence, nullptr, 0);
}

JournalReading readJournal(const unsigned char* data, std::size_t size) {
    JournalReading reading;
    std::vector<RecoveredScan> scans;
    std::uint64_t lastSequence = 0;
    std::size_t at = 0;
    while (at < size) {
        std::size_t length = recordAt(data + at, size - at);
        if (length == 0) {
            // Skip to the next place where a whole record checks out.
            std::size_t next = at + 1;
            while (next < size && recordAt(data + next, size - next) == 0) ++next;
            ++reading.damagedStretches;
            reading.damagedBytes += next - at;
            at = next;
            continue;
        }
        const unsigned char* payload = data + at + kHeaderSize;
        std::uint64_t sequence = getLittleEndian(payload + 1, kSequenceSize);
        if (payload[0] == kDeliveredRecord) {
            if (sequence > reading.deliveredThrough) reading.deliveredThrough = sequence;
        } else if (sequence > lastSequence) {
            // Numbers only grow; an out-of-order scan record is no record of
            // this journal's and is skipped.
            lastSequence = sequence;
            scans.push_back(RecoveredScan{
                sequence, std::string(reinterpret_cast<const char*>(payload) + 1 + kSequenceSize,
                                      length - kHeaderSize - 1 - kSequenceSize)});
        } else {
            ++reading.damagedStretches;
            reading.damagedBytes += length;
        }
        at += length;
    }
    for (RecoveredScan& scan : scans) {
        if (scan.sequence > reading.deliveredThrough)
            reading.undelivered.push_back(std::move(scan));
    }
    return reading;
}

}  // namespace scan_journal
