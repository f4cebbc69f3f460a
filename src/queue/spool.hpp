// The durable spool: request bodies kept on disk until the collector has taken them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace zeplog::detail {

// One request body as spooled: where it goes and what it carries.
struct SpoolRecord {
  std::int64_t spooledAt = 0;  // seconds since the epoch (wall clock: it outlives the process)
  std::uint32_t events = 0;    // events in the body, for the counters
  std::string url;             // the collector URL the body was meant for
  std::string headers;         // extra request headers, one "Name: value" per line
  std::string handleId;        // the handle its events belong to
  std::string body;            // the bytes that are posted, as they were written
};

// What the bounds dropped in one call.
struct SpoolDrop {
  std::uint64_t records = 0;
  std::uint64_t events = 0;
};

// A first-in, first-out store of request bodies in a directory of segment files, for one
// process at a time. Each record is checksummed; a record that does not read back whole
// (a torn tail after a kill, a damaged block) ends its segment: the file is cut there when
// the spool is opened, and nothing after it is half-read. A record leaves the spool when it
// is popped: its state byte is overwritten in place, and a segment whose records have all
// left is deleted. Popped records come back only if the process dies between the pop's
// write and the request's end, so a body is sent at most once more.
//
// Ownership: open() takes an exclusive lock on the directory (flock); a second process of
// the same program finds it taken and opens the next free slot ("spool.1", "spool.2", ...)
// instead, so two processes never send the same record. Each open also adopts the records of
// free slots that earlier processes left, appending them after its own.
//
// Bounds: past maxBytes of records, or for records older than maxAge, the oldest records
// are dropped (popped unsent) and reported to the caller.
//
// Not thread-safe: one thread (the send thread) appends and pops; backlog() and
// backlogBytes() may be read from any thread.
class Spool {
 public:
  struct Limits {
    std::uint64_t maxBytes = 256ull << 20;
    std::chrono::seconds maxAge{7 * 24 * 3600};
  };

  // Opens the spool under dataDir (created 0700 if missing); none with error text when the
  // directory can't be made or locked.
  static std::unique_ptr<Spool> open(const std::string& dataDir, Limits limits, std::string* error);
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Appends the record after the others, then applies the byte bound. False with error text
  // when the record could not be written whole (the record is then not in the spool).
  bool append(const SpoolRecord& record, SpoolDrop& dropped, std::string* error);
  // The same for a record whose body is given apart (record.body is not read). Either form
  // keeps what it wrote in memory too: while it is the oldest, front() hands it out without
  // reading back what was just written (the usual case: a body is spooled, then posted at
  // once).
  bool append(const SpoolRecord& record, std::string_view body, SpoolDrop& dropped,
              std::string* error);
  // The oldest record, after dropping those past maxAge; none when the spool is empty. A
  // record that no longer reads back whole is dropped too.
  std::optional<SpoolRecord> front(SpoolDrop& dropped);
  // The oldest record leaves the spool.
  void pop();

  // What the byte bound dropped while open() adopted other slots' records.
  SpoolDrop droppedAtOpen() const { return droppedAtOpen_; }

  std::uint64_t backlog() const { return records_.load(); }  // records waiting
  std::uint64_t backlogBytes() const { return bytes_.load(); }
  std::uint64_t backlogEvents() const { return events_.load(); }
  const std::string& directory() const { return dir_; }

  // Closes the descriptors without releasing the lock the parent process holds: for a
  // forked child, which must open its own slot.
  void abandonInChild();

  // A record's bytes on disk; exposed for tests that damage a spool on purpose.
  static std::string encode(const SpoolRecord& record);
  // The same with the body given apart (record.body is not read).
  static std::string encode(const SpoolRecord& record, std::string_view body);

 private:
  struct Entry {
    std::uint64_t segment;  // the segment's number
    std::uint64_t offset;   // of the record's header
    std::uint64_t size;     // header and payload
    std::int64_t spooledAt;
    std::uint32_t events;
  };

  Spool(std::string dir, int lockFd, Limits limits);
  bool scanSegment(std::uint64_t segment);  // loads the records, cuts a torn tail
  void adoptFreeSlots(const std::string& base);
  bool appendRaw(const std::string& bytes, std::int64_t spooledAt, std::uint32_t events,
                 std::string* error);
  void dropFront(SpoolDrop& dropped);
  void markLeft(const Entry& entry);
  std::string segmentPath(std::uint64_t segment) const;
  int segmentFd(std::uint64_t segment);  // the open write segment or a fresh read descriptor

  std::string dir_;
  int lockFd_ = -1;
  Limits limits_;
  std::deque<Entry> entries_;       // the records waiting, oldest first
  std::uint64_t writeSegment_ = 0;  // the segment appended to
  int writeFd_ = -1;                // its descriptor (O_APPEND)
  std::uint64_t writeSize_ = 0;     // its size
  SpoolDrop droppedAtOpen_;         // see droppedAtOpen()
  std::atomic<std::uint64_t> records_{0};
  std::atomic<std::uint64_t> bytes_{0};
  std::atomic<std::uint64_t> events_{0};
  // The bytes last appended, with their place: valid while that place is the
  // front entry's (places are never used twice).
  struct Recent {
    std::uint64_t segment = 0, offset = 0;
    std::string bytes;
  };
  std::optional<Recent> recent_;
};

}  // namespace zeplog::detail
