#include "scans/scan_journal_takeover.h"

#include "common/activity_log.h"
#include "common/text_format.h"
#include "platform/platform.h"
#include "scans/scan_journal_format.h"

namespace scan_journal {

namespace {

const char kTag[] = "ScanJournal::takeOver";
// A read that fails is tried again a few times: an indexer, a backup or a
// virus scanner may hold the file for a moment.
constexpr int kReadAttempts = 5;
constexpr unsigned kReadRetryMs = 100;

// The steps of a take-over leave these beside the journal. Taken: a whole
// copy of the earlier journal, whose original is gone or identical. Merged:
// the taken scans followed by the journal's own, complete; once it exists
// the taken copy is no longer needed.
const char kTakenSuffix[] = ".taken";
const char kMergedSuffix[] = ".merged";

void say(const std::string& text) { writeLog(kTag, text, 1); }

// Writes contents as the file at path in one step: a file beside it, synced,
// then put in its place.
bool writeWhole(const std::string& path, const std::string& contents, int& error) {
    const std::string fresh = path + ".new";
    {
        platform::DurableFile out;
        if (!out.open(fresh, true, error) || !out.append(contents.data(), contents.size(), error) ||
            !out.sync(error)) {
            out.close();
            platform::deleteFile(fresh);
            return false;
        }
    }
    if (!platform::replaceFile(fresh, path, error)) {
        platform::deleteFile(fresh);
        return false;
    }
    return true;
}

// Copies the earlier journal here as the taken one and removes the earlier
// one, under the earlier folder's lock. Its lock file stays: removing a lock
// file another agent may be about to lock would let two agents in.
void moveHere(const std::string& earlier, const std::string& taken, std::size_t limit) {
    platform::FileLock lock;
    int error = 0;
    switch (lock.take(earlier + ".lock", error)) {
        case platform::FileLock::Result::taken:
            break;
        case platform::FileLock::Result::held:
            say(formatText("Scan journal %s is in use by another agent: it is left where it is",
                           earlier.c_str()));
            return;
        case platform::FileLock::Result::failed:
            say(formatText("Scan journal %s cannot be locked (error %d): it is left where it is",
                           earlier.c_str(), error));
            return;
    }
    std::string contents;
    if (!readJournalFile(earlier, limit, contents, error)) {
        say(formatText("Scan journal %s cannot be read (error %d): it is left where it is",
                       earlier.c_str(), error));
        return;
    }
    if (platform::fileExists(taken)) {
        // A start that copied it ended before it removed the earlier one:
        // the same bytes are the same scans. Otherwise the taken one is from
        // an earlier take-over, and this one waits for the next start.
        std::string copy;
        if (!readJournalFile(taken, limit, copy, error) || copy != contents) return;
    } else if (!writeWhole(taken, contents, error)) {
        say(formatText("Scan journal %s cannot be copied (error %d): it is left where it is",
                       earlier.c_str(), error));
        return;
    }
    if (!platform::deleteFile(earlier)) {
        // Both would be taken over: the copy goes again.
        platform::deleteFile(taken);
        say(formatText("Scan journal %s cannot be removed: it is left where it is",
                       earlier.c_str()));
    }
}

// Writes the merged journal: the taken scans first, then the journal's own.
bool merge(const std::string& taken, const std::string& path, const std::string& merged,
           std::size_t limit) {
    std::string earlierBytes, ownBytes;
    int error = 0;
    if (!readJournalFile(taken, limit, earlierBytes, error)) {
        say(
            formatText("Scan journal %s cannot be read (error %d): its scans wait for the next "
                       "start",
                       taken.c_str(), error));
        return false;
    }
    // A journal that cannot be read is left to the start, which says so.
    if (!readJournalFile(path, limit, ownBytes, error)) return false;
    JournalReading first = readJournal(reinterpret_cast<const unsigned char*>(earlierBytes.data()),
                                       earlierBytes.size());
    JournalReading second =
        readJournal(reinterpret_cast<const unsigned char*>(ownBytes.data()), ownBytes.size());
    std::string contents;
    std::uint64_t sequence = 1;
    for (const RecoveredScan& scan : first.undelivered) {
        appendScanRecord(contents, sequence++, scan.text);
    }
    for (const RecoveredScan& scan : second.undelivered) {
        appendScanRecord(contents, sequence++, scan.text);
    }
    if (contents.size() > limit) {
        say(
            formatText("Scan journal %s cannot be taken over: together they would grow past the "
                       "limit, its scans wait for the next start",
                       taken.c_str()));
        return false;
    }
    if (!writeWhole(merged, contents, error)) {
        say(
            formatText("Scan journal %s cannot be written (error %d): the scans of %s wait for "
                       "the next start",
                       merged.c_str(), error, taken.c_str()));
        return false;
    }
    if (first.damagedStretches > 0) {
        say(formatText("Scan journal %s: %d damaged records skipped (%d bytes)", taken.c_str(),
                       first.damagedStretches, static_cast<int>(first.damagedBytes)));
    }
    say(formatText("%d undelivered scans taken over from another folder's scan journal",
                   static_cast<int>(first.undelivered.size())));
    return true;
}

// Puts the merged journal in place of the journal. The taken copy goes
// first: once it is gone the merged one is the only place of its scans.
// False when the journal must not be used now, as it lags behind the merged
// one that the next start puts in place.
bool finish(const std::string& taken, const std::string& path, const std::string& merged,
            int& error) {
    if (platform::fileExists(taken) && !platform::deleteFile(taken)) {
        // Undone instead: the next start merges again.
        if (platform::deleteFile(merged)) return true;
        error = -1;
        return false;
    }
    return platform::replaceFile(merged, path, error);
}

}  // namespace

bool readJournalFile(const std::string& path, std::size_t limit, std::string& contents,
                     int& error) {
    for (int attempt = 1;; ++attempt) {
        contents.clear();
        if (platform::readWholeFile(path, limit, contents, error)) return true;
        if (!platform::fileExists(path)) {
            contents.clear();
            return true;
        }
        if (error == -1 || attempt == kReadAttempts) return false;
        platform::sleepMs(kReadRetryMs);
    }
}

bool takeOverJournal(const std::string& earlier, const std::string& path, std::size_t limit,
                     int& error) {
    const std::string taken = path + kTakenSuffix;
    const std::string merged = path + kMergedSuffix;
    if (platform::fileExists(merged) && !finish(taken, path, merged, error)) return false;
    if (!earlier.empty() && platform::fileExists(earlier) && !platform::sameFile(earlier, path)) {
        moveHere(earlier, taken, limit);
    }
    if (!platform::fileExists(taken) || !merge(taken, path, merged, limit)) return true;
    return finish(taken, path, merged, error);
}

}  // namespace scan_journal
