// The durable spool: request bodies kept on disk until the collector has taken them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// A store of request bodies in a directory of segment files, for one process at a time. Each
// record is checksummed; a record that does not read back whole (a torn tail after a kill, a
// damaged block) ends its segment: the file is cut there when the spool is opened, and
// nothing after it is half-read. A record leaves the spool when it is popped: its state byte
// is overwritten in place, and a segment whose records have all left is deleted. Popped
// records come back only if the process dies between the pop's write and the request's end,
// so a body is sent at most once more.
//
// Lanes: the records are kept in one ordered lane per destination, so a destination that
// fails holds back only its own records. A record's lane is the URL it was spooled for,
// unless regroup() gave the records of its origin (URL and handle) another one. The order of
// the records of one lane is the order they were appended in.
//
// Ownership: open() takes an exclusive lock on the directory (flock); a second process of
// the same program finds it taken and opens the next free slot ("spool.1", "spool.2", ...)
// instead, so two processes never send the same record. Each open also adopts the records of
// free slots that earlier processes left, appending them after its own.
//
// Bounds: the oldest records of all lanes are dropped (popped unsent) and reported to the
// caller while the records waiting would weigh more than maxBytes, or while the segment files
// would hold more than maxBytes plus one segment (segmentBytesFor(maxBytes)): records that
// have left still take room until their segment is deleted. So the directory never holds
// more than maxBytes plus one segment, once open() has returned; while open() adopts another
// slot, that slot's files are there too until they are copied. A record larger than maxBytes
// is not taken. Records older than maxAge are dropped when their lane reaches them.
//
// Segment numbers count up from 0 and stay below kSegmentNumbers; a file named with a
// higher number is not one the spool made: it is neither read nor deleted.
//
// Not thread-safe: one thread (the send thread) appends and pops; backlog() and
// backlogBytes() may be read from any thread.
class Spool {
 public:
  struct Limits {
    std::uint64_t maxBytes = 256ull << 20;
    std::chrono::seconds maxAge{7 * 24 * 3600};
  };

  // Segment numbers are below this: at a thousand segments a second, 8,900 years of them.
  static constexpr std::uint64_t kSegmentNumbers = 1ull << 48;

  // The size past which a segment takes no more records: a sixteenth of the bound, at least
  // 64 KiB and at most 8 MiB (a record larger than that has a segment of its own).
  static constexpr std::uint64_t segmentBytesFor(std::uint64_t maxBytes) {
    constexpr std::uint64_t kLeast = 64u << 10, kMost = 8u << 20;
    return maxBytes / 16 < kLeast ? kLeast : maxBytes / 16 > kMost ? kMost : maxBytes / 16;
  }

  // Opens the spool under dataDir (created 0700 if missing); none with error text when the
  // directory can't be made or locked.
  static std::unique_ptr<Spool> open(const std::string& dataDir, Limits limits, std::string* error);
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Appends the record after the others of its lane, dropping the oldest records first as
  // far as the bounds ask. False with error text when the record could not be written whole
  // or is larger than maxBytes (the record is then not in the spool).
  bool append(const SpoolRecord& record, SpoolDrop& dropped, std::string* error);
  // The same for a record whose body is given apart (record.body is not read). Either form
  // keeps what it wrote in memory too: while it is the oldest of its lane, front() hands it
  // out without reading back what was just written (the usual case: a body is spooled, then
  // posted at once).
  bool append(const SpoolRecord& record, std::string_view body, SpoolDrop& dropped,
              std::string* error);

  // The lanes that hold records, the one with the oldest record first.
  std::vector<std::string> lanes() const;
  // The oldest record of the lane, after dropping those past maxAge; none when the lane is
  // empty. A record that no longer reads back whole is dropped too.
  std::optional<SpoolRecord> front(const std::string& lane, SpoolDrop& dropped);
  // The oldest record of the lane leaves the spool.
  void pop(const std::string& lane);
  // The same for the oldest record of all lanes.
  std::optional<SpoolRecord> front(SpoolDrop& dropped);
  void pop();

  // Where the records came from: each URL and handle id records were spooled with since
  // open(), in the order they were first seen (at open, oldest first).
  struct Origin {
    std::string url;
    std::string handleId;
  };
  std::vector<Origin> origins() const;
  // Moves the records of each origin to the lane laneOf names for it; records appended later
  // with that origin join the same lane. Each lane keeps its records in the order they were
  // appended.
  void regroup(const std::function<std::string(const Origin&)>& laneOf);

  // What the bounds dropped while open() read this slot and adopted other slots' records.
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
    std::uint64_t order;    // appended before every entry with a higher one
    std::uint64_t segment;  // the segment's number
    std::uint64_t offset;   // of the record's header
    std::uint64_t size;     // header and payload
    std::int64_t spooledAt;
    std::uint32_t events;
    std::uint32_t origin;  // its index in origins_
  };
  using Lanes = std::map<std::string, std::deque<Entry>>;
  struct Segment {
    std::uint64_t waiting = 0;  // its records that have not left
    std::uint64_t bytes = 0;    // its file's size
  };
  struct KnownOrigin {
    Origin origin;
    std::string lane;
  };

  Spool(std::string dir, int lockFd, Limits limits);
  bool scanSegment(std::uint64_t segment);  // loads the records, cuts a torn tail
  void adoptFreeSlots(const std::string& base);
  std::uint32_t originOf(const std::string& url, const std::string& handleId);
  void push(const Entry& entry);  // after the others of its origin's lane
  bool appendRaw(std::uint32_t origin, const std::string& bytes, std::int64_t spooledAt,
                 std::uint32_t events, std::string* error);
  bool openWriteSegment(std::string* error);
  void rewriteWaiting();  // copies every waiting record to fresh segments, in order
  // True while a record of `incoming` bytes more would break a bound.
  bool overBounds(std::uint64_t incoming) const;
  Lanes::iterator oldestLane();
  void dropFront(Lanes::iterator lane, SpoolDrop& dropped);
  void leave(Lanes::iterator lane);  // its oldest record leaves
  void markLeft(const Entry& entry);
  std::string segmentPath(std::uint64_t segment) const;
  int segmentFd(std::uint64_t segment);  // the open write segment or a fresh read descriptor

  std::string dir_;
  int lockFd_ = -1;
  Limits limits_;
  std::uint64_t segmentBytes_;                 // segmentBytesFor(limits_.maxBytes)
  Lanes lanes_;                                // the records waiting, per lane; no lane is empty
  std::vector<KnownOrigin> origins_;           // each origin seen since open, with its lane
  std::map<std::uint64_t, Segment> segments_;  // the segment files that hold records
  std::uint64_t diskBytes_ = 0;                // the sum of their sizes
  std::uint64_t nextOrder_ = 0;                // the next entry's order
  std::uint64_t writeSegment_ = 0;             // the segment appended to
  int writeFd_ = -1;                           // its descriptor
  std::uint64_t writeSize_ = 0;                // its size
  SpoolDrop droppedAtOpen_;                    // see droppedAtOpen()
  std::atomic<std::uint64_t> records_{0};
  std::atomic<std::uint64_t> bytes_{0};
  std::atomic<std::uint64_t> events_{0};
  // The bytes last appended, with their place: valid while that place is the front entry's
  // of its lane (places are never used twice).
  struct Recent {
    std::uint64_t segment = 0, offset = 0;
    std::string bytes;
  };
  std::optional<Recent> recent_;
};

}  // namespace zeplog::detail
