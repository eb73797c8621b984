#pragma once
// Written by hand because no embedded store that fits is packaged in Debian
// for mingw-w64 (neither SQLite, LMDB nor LevelDB cross-builds from its
// packages), and the job is small: an append-only log of short records.
//
// The scan journal's file format: a plain sequence of records, each
//
//   magic   4 bytes  "VXSJ"
//   length  4 bytes  payload length, little-endian
//   check   4 bytes  CRC-32 (IEEE) of the length bytes and the payload
//   payload          kind (1 byte), sequence number (8 bytes, little-endian),
//                    and for a scan its text
//
// A scan record ('S') holds one committed scan; a delivered record ('D')
// says that every scan up to and including its sequence number reached the
// peer. Records are only ever appended; a power cut can leave the last one
// torn, and a damaged stretch anywhere is skipped up to the next record that
// checks out.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace scan_journal {

constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kSequenceSize = 8;
// Bounds one record, so the reader never trusts a length beyond this. A scan
// longer than the text a record holds is kept cut to it: the probe never
// sends more than 2047 characters of one scan anyway.
constexpr std::size_t kMaxPayload = 65536;
constexpr std::size_t kMaxScanText = kMaxPayload - 1 - kSequenceSize;

constexpr char kScanRecord = 'S';
constexpr char kDeliveredRecord = 'D';

std::uint32_t crc32(const unsigned char* data, std::size_t size, std::uint32_t crc = 0);

// Appends one record to out.
void appendScanRecord(std::string& out, std::uint64_t sequence, const std::string& text);
void appendDeliveredRecord(std::string& out, std::uint64_t sequence);

struct RecoveredScan {
    std::uint64_t sequence = 0;
    std::string text;
};

struct JournalReading {
    // The scans not yet delivered, in the order they were committed.
    std::vector<RecoveredScan> undelivered;
    std::uint64_t deliveredThrough = 0;  // highest delivered mark
    int damagedStretches = 0;            // torn or corrupt places skipped
    std::size_t damagedBytes = 0;
};

// Reads a whole journal. Never fails: what does not check out is counted and
// skipped.
JournalReading readJournal(const unsigned char* data, std::size_t size);

}  // namespace scan_journal
