#pragma once
// Taking over a journal from another folder: earlier versions kept the scan
// journal in the log folder, which ini.txt may put anywhere; it now lives in
// the program folder, where a start after an update (which reads no
// properties) finds it too.
#include <cstddef>
#include <string>

namespace scan_journal {

// Reads the journal at path, trying again for a moment when it exists but
// cannot be read or comes back short. A missing file reads as empty. False
// when it cannot be read at all (error says why).
bool readJournalFile(const std::string& path, std::size_t limit, std::string& contents, int& error);

// Moves the undelivered scans of the journal at earlier (when it exists, is
// another file and no other agent holds it) into the journal at path, ahead
// of path's own and in order, and removes it there. Each step leaves files
// from which the next start finishes the work, so a crash anywhere neither
// loses nor doubles a scan. What cannot be done waits for the next start,
// said at level 1. The caller holds path's lock. False when the journal at
// path must not be used for this run (error says why): a finished merge
// could not be put in its place and is completed at the next start.
bool takeOverJournal(const std::string& earlier, const std::string& path, std::size_t limit,
                     int& error);

}  // namespace scan_journal
