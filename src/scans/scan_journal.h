#pragma once
// The scan journal: the scan queue on disk, so that no process end loses a
// committed scan. Every commit and every delivered mark is handed to a writer
// thread of its own, which appends it to the journal and forces it to the
// disk at once (how long that takes is the disk's: a few milliseconds on a
// local disk, no bound the code can promise); the committing thread (the
// keyboard hook) only hands over. On start the scans that were never
// delivered are queued again, first and in order. The journal is locked for
// the life of the process, so a second agent on the same folder leaves it
// alone. A failed compaction keeps appending to the old file and is tried
// again later; a failed write is logged once and the writer writes the
// journal whole again when its back-off ends, with or without new events;
// meanwhile, and when another agent holds the journal, the queue lives in
// memory.
#include <cstddef>
#include <cstdint>
#include <string>

namespace scan_journal {

// The journal's file name, in the program folder.
extern const char kFileName[];

// Locks the journal at path (path + ".lock"), takes over the journal at
// earlier when there is one (the log folder's, where earlier versions kept
// it), starts the writer thread, reads the journal, queues its undelivered
// scans ahead of any scan committed so far, rewrites it compacted and has
// every exit the agent performs flush it first. Never throws: what fails is a
// level-1 line and the queue stays in memory. Once per process, after the
// activity log is open.
void start(const std::string& path, const std::string& earlier = std::string());

// Every scan up to and including sequence has reached the peer.
void recordDelivered(std::uint64_t sequence);

// Waits at most timeoutMs until everything handed over so far is on disk.
// True when it is (or when there is no journal).
bool flush(unsigned timeoutMs);

// The highest delivered mark that is on disk (0 when none).
std::uint64_t deliveredOnDisk();

// How long an exit waits for the journal.
constexpr unsigned kExitFlushMs = 2000;

}  // namespace scan_journal

namespace scan_journal_testing {
// Ends the writer thread and forgets the journal, so a test can start another.
void stop();
// Sets the file size from which the journal is compacted (default 64 KiB).
void setCompactionThreshold(std::uint64_t bytes);
// Sets the size the journal is neither read nor written past (default 256 MiB).
void setSizeLimit(std::size_t bytes);
// Makes start find that no thread can be created.
void refuseWriterThread(bool refuse);
// Makes the writer wait this long before each write, like a slow disk.
void setWriteDelay(unsigned milliseconds);
}  // namespace scan_journal_testing
