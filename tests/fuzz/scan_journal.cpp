// The scan journal's reader, given any bytes as the journal file: it never
// reads past them, keeps the scans in strictly rising order above the
// delivered mark, accounts for every byte it skips, and what it recovers,
// written out again, reads back the same with no damage.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "scans/scan_journal_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace scan_journal;
    JournalReading reading = readJournal(data, size);

    FUZZ_CHECK(reading.damagedBytes <= size);
    FUZZ_CHECK((reading.damagedStretches == 0) == (reading.damagedBytes == 0));
    std::uint64_t previous = reading.deliveredThrough;
    std::size_t recordBytes = 0;
    for (const RecoveredScan& scan : reading.undelivered) {
        FUZZ_CHECK(scan.sequence > previous);
        FUZZ_CHECK(scan.text.size() <= kMaxScanText);
        previous = scan.sequence;
        recordBytes += kHeaderSize + 1 + kSequenceSize + scan.text.size();
    }
    FUZZ_CHECK(recordBytes + reading.damagedBytes <= size);

    std::string again;
    for (const RecoveredScan& scan : reading.undelivered) {
        appendScanRecord(again, scan.sequence, scan.text);
    }
    JournalReading second =
        readJournal(reinterpret_cast<const unsigned char*>(again.data()), again.size());
    FUZZ_CHECK(second.damagedStretches == 0);
    FUZZ_CHECK(second.undelivered.size() == reading.undelivered.size());
    for (std::size_t i = 0; i < second.undelivered.size(); ++i) {
        FUZZ_CHECK(second.undelivered[i].sequence == reading.undelivered[i].sequence);
        FUZZ_CHECK(second.undelivered[i].text == reading.undelivered[i].text);
    }
    return 0;
}
