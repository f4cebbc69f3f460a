#include "queue/spool.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

#include "common/console.hpp"
#include "common/files.hpp"

namespace zeplog::detail {
namespace {

// A record: a 16-byte header (magic, state byte, three zero bytes, payload length, CRC-32 of
// the payload), then the payload (time, event count, URL, headers, handle id, body). Integers are
// little-endian. The state byte is outside the checksum because a pop overwrites it.
constexpr std::uint32_t kMagic = 0x3150535A;  // "ZSP1"
constexpr std::size_t kHeaderSize = 16;
constexpr std::size_t kStateOffset = 4;
constexpr char kWaiting = 0;
constexpr char kLeft = 1;
// Slots tried for the spool of one program: "spool", "spool.1", ... "spool.15".
constexpr int kSlots = 16;

void putU32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void putU64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
std::uint64_t getLE(std::string_view in, std::size_t at, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(in[at + i]);
  return v;
}

std::uint32_t checksum(std::string_view payload) {
  return static_cast<std::uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef*>(payload.data()), static_cast<uInt>(payload.size())));
}

// A length-prefixed text of the payload, advancing `at`; false when it runs past the end.
bool getText(std::string_view payload, std::size_t& at, std::string& out) {
  if (payload.size() - at < 4) return false;
  const std::uint64_t n = getLE(payload, at, 4);
  at += 4;
  if (payload.size() - at < n) return false;
  out.assign(payload.substr(at, n));
  at += n;
  return true;
}

std::optional<SpoolRecord> decodePayload(std::string_view payload, bool withBody = true) {
  if (payload.size() < 12) return std::nullopt;
  SpoolRecord r;
  r.spooledAt = static_cast<std::int64_t>(getLE(payload, 0, 8));
  r.events = static_cast<std::uint32_t>(getLE(payload, 8, 4));
  std::size_t at = 12;
  if (!getText(payload, at, r.url) || !getText(payload, at, r.headers) ||
      !getText(payload, at, r.handleId))
    return std::nullopt;
  if (withBody) r.body.assign(payload.substr(at));
  return r;
}

// The record of bytes this process encoded a moment ago (not checked again): the body keeps
// the buffer, moved down over the header and the other members.
std::optional<SpoolRecord> takeRecord(std::string bytes) {
  std::optional<SpoolRecord> meta =
      decodePayload(std::string_view(bytes).substr(kHeaderSize), /*withBody=*/false);
  if (!meta) return std::nullopt;
  const std::size_t bodyAt =
      kHeaderSize + 12 + 3 * 4 + meta->url.size() + meta->headers.size() + meta->handleId.size();
  bytes.erase(0, bodyAt);
  meta->body = std::move(bytes);
  return meta;
}

// What a header says, when it is one and its payload is there and checks out.
struct Header {
  char state = kWaiting;
  std::uint64_t payloadSize = 0;
};
std::optional<Header> checkedHeader(std::string_view bytes) {
  if (bytes.size() < kHeaderSize || getLE(bytes, 0, 4) != kMagic) return std::nullopt;
  Header h;
  h.state = bytes[kStateOffset];
  h.payloadSize = getLE(bytes, 8, 4);
  if (bytes.size() - kHeaderSize < h.payloadSize) return std::nullopt;
  if (checksum(bytes.substr(kHeaderSize, h.payloadSize)) != getLE(bytes, 12, 4))
    return std::nullopt;
  return h;
}

// Calls each(offset, header, payload) for every whole record of the file's bytes, in order;
// returns the length of the whole records (where a torn or damaged tail begins).
std::size_t forEachRecord(
    std::string_view bytes,
    const std::function<void(std::size_t, const Header&, std::string_view)>& each) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    std::optional<Header> h = checkedHeader(bytes.substr(at));
    if (!h) break;
    each(at, *h, bytes.substr(at + kHeaderSize, h->payloadSize));
    at += kHeaderSize + h->payloadSize;
  }
  return at;
}

// The segment numbers in dir, in order. A name with a number the spool never makes is left
// alone, with a line: the next number after it would wrap onto the live ones.
std::vector<std::uint64_t> segmentsIn(const std::string& dir) {
  std::vector<std::uint64_t> out;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return out;
  while (const dirent* e = ::readdir(d)) {
    const std::string_view name(e->d_name);
    if (name.size() != 20 || name.substr(16) != ".seg") continue;
    std::uint64_t n = 0;
    bool hex = true;
    for (char c : name.substr(0, 16)) {
      const int digit = (c >= '0' && c <= '9')   ? c - '0'
                        : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                                 : -1;
      if (digit < 0) hex = false;
      n = (n << 4) | static_cast<std::uint64_t>(digit & 0xF);
    }
    if (!hex) continue;
    if (n >= Spool::kSegmentNumbers) {
      ZEP_CONSOLE("spool: ignored " + joinPath(dir, std::string(name)) +
                  ": no segment is numbered this high, so it is neither read nor deleted");
      continue;
    }
    out.push_back(n);
  }
  ::closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

// A segment's file in a slot's directory: its number in 16 hex digits, ".seg".
std::string segmentPathIn(const std::string& dir, std::uint64_t segment) {
  char name[24];
  std::snprintf(name, sizeof name, "%016llx.seg", static_cast<unsigned long long>(segment));
  return joinPath(dir, name);
}

std::string slotPath(const std::string& base, int slot) {
  return slot == 0 ? base : base + "." + std::to_string(slot);
}

// The slot's lock, taken without waiting; -1 when another process holds it or it can't be
// made.
int lockSlot(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return -1;
  const int fd = ::open(joinPath(dir, "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool writeAll(int fd, std::string_view bytes, std::uint64_t offset) {
  while (!bytes.empty()) {
    const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

std::optional<std::string> readAt(int fd, std::uint64_t offset, std::uint64_t size) {
  std::string out(size, '\0');
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd, out.data() + got, size - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    got += static_cast<std::size_t>(n);
  }
  return out;
}

std::int64_t nowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::string Spool::encode(const SpoolRecord& record) { return encode(record, record.body); }

std::string Spool::encode(const SpoolRecord& record, std::string_view body) {
  // The payload is written in place after the header, whose size and checksum are filled in
  // once it is there: a body of megabytes is copied once.
  std::string out;
  out.reserve(kHeaderSize + 8 + 4 * 4 + record.url.size() + record.headers.size() +
              record.handleId.size() + body.size());
  putU32(out, kMagic);
  out.append(4, '\0');  // the state byte (waiting) and three zero bytes
  out.append(8, '\0');  // the payload's size and checksum, below
  putU64(out, static_cast<std::uint64_t>(record.spooledAt));
  putU32(out, record.events);
  putU32(out, static_cast<std::uint32_t>(record.url.size()));
  out += record.url;
  putU32(out, static_cast<std::uint32_t>(record.headers.size()));
  out += record.headers;
  putU32(out, static_cast<std::uint32_t>(record.handleId.size()));
  out += record.handleId;
  out += body;
  const std::string_view payload = std::string_view(out).substr(kHeaderSize);
  std::string sizeAndSum;
  putU32(sizeAndSum, static_cast<std::uint32_t>(payload.size()));
  putU32(sizeAndSum, checksum(payload));
  out.replace(kHeaderSize - 8, 8, sizeAndSum);
  return out;
}

std::unique_ptr<Spool> Spool::open(const std::string& dataDir, Limits limits, std::string* error) {
  if (::mkdir(dataDir.c_str(), 0700) != 0 && errno != EEXIST) {
    if (error) *error = "cannot create " + dataDir + ": " + std::strerror(errno);
    return nullptr;
  }
  const std::string base = joinPath(dataDir, "spool");
  for (int slot = 0; slot < kSlots; ++slot) {
    const std::string dir = slotPath(base, slot);
    const int fd = lockSlot(dir);
    if (fd < 0) continue;
    std::unique_ptr<Spool> spool(new Spool(dir, fd, limits));
    for (std::uint64_t segment : segmentsIn(dir)) {
      spool->writeSegment_ = segment + 1;
      spool->scanSegment(segment);
    }
    // Segments of a larger size (an earlier version's, or a larger bound's) may hold more on
    // disk than this bound allows, much of it records that have left: the waiting ones are
    // copied to fresh segments first, so that only what the bound itself refuses is dropped.
    if (spool->overBounds(0)) spool->rewriteWaiting();
    while (!spool->lanes_.empty() && spool->overBounds(0))
      spool->dropFront(spool->oldestLane(), spool->droppedAtOpen_);
    spool->adoptFreeSlots(base);
    return spool;
  }
  if (error) *error = "every spool slot under " + dataDir + " is in use or cannot be made";
  return nullptr;
}

Spool::Spool(std::string dir, int lockFd, Limits limits)
    : dir_(std::move(dir)),
      lockFd_(lockFd),
      limits_(limits),
      segmentBytes_(segmentBytesFor(limits.maxBytes)) {}

Spool::~Spool() {
  if (writeFd_ >= 0) ::close(writeFd_);
  if (lockFd_ >= 0) ::close(lockFd_);
}

void Spool::abandonInChild() {
  // The lock belongs to the open file description shared with the parent: closing this
  // process's descriptor leaves the parent's lock in place.
  if (writeFd_ >= 0) ::close(writeFd_);
  if (lockFd_ >= 0) ::close(lockFd_);
  writeFd_ = lockFd_ = -1;
  lanes_.clear();
  origins_.clear();
  segments_.clear();
  diskBytes_ = 0;
  recent_.reset();
  records_ = 0;
  bytes_ = 0;
  events_ = 0;
}

std::string Spool::segmentPath(std::uint64_t segment) const { return segmentPathIn(dir_, segment); }

bool Spool::scanSegment(std::uint64_t segment) {
  const std::string path = segmentPath(segment);
  std::optional<std::string> bytes = readWholeFile(path);
  if (!bytes) return false;
  std::size_t waiting = 0;
  const std::size_t whole =
      forEachRecord(*bytes, [&](std::size_t at, const Header& h, std::string_view payload) {
        if (h.state != kWaiting) return;
        const std::optional<SpoolRecord> r = decodePayload(payload);
        if (!r) return;
        push({nextOrder_++, segment, at, kHeaderSize + h.payloadSize, r->spooledAt, r->events,
              originOf(r->url, r->handleId)});
        ++waiting;
      });
  if (whole < bytes->size()) {
    ZEP_CONSOLE("spool: cut " + std::to_string(bytes->size() - whole) +
                " bytes of a torn or damaged record off " + path);
    if (::truncate(path.c_str(), static_cast<off_t>(whole)) != 0)
      ZEP_CONSOLE("spool: cannot cut " + path + ": " + std::strerror(errno));
  }
  if (waiting == 0) {
    ::unlink(path.c_str());
  } else {
    segments_[segment] = {waiting, whole};
    diskBytes_ += whole;
  }
  return true;
}

void Spool::adoptFreeSlots(const std::string& base) {
  for (int slot = 0; slot < kSlots; ++slot) {
    const std::string other = slotPath(base, slot);
    if (other == dir_ || !fileExists(other)) continue;
    const int fd = lockSlot(other);
    if (fd < 0) continue;  // a running process owns it
    for (std::uint64_t segment : segmentsIn(other)) {
      const std::string path = segmentPathIn(other, segment);
      std::optional<std::string> bytes = readWholeFile(path);
      const int source = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
      bool copied = true;
      if (bytes) {
        forEachRecord(*bytes, [&](std::size_t at, const Header& h, std::string_view payload) {
          const std::optional<SpoolRecord> r = decodePayload(payload);
          if (h.state != kWaiting || !r) return;
          const std::uint64_t size = kHeaderSize + h.payloadSize;
          if (size > limits_.maxBytes) {
            droppedAtOpen_.records += 1;  // no spool of this bound can take it
            droppedAtOpen_.events += r->events;
          } else if (!append(*r, droppedAtOpen_, nullptr)) {
            copied = false;
            return;
          }
          // Taken: a later adoption of what is left must not copy it again.
          const char left = kLeft;
          if (source >= 0) (void)writeAll(source, std::string_view(&left, 1), at + kStateOffset);
        });
      }
      if (source >= 0) ::close(source);
      // A segment that could not be copied whole stays for a later adoption.
      if (copied) ::unlink(path.c_str());
    }
    ::close(fd);
  }
}

int Spool::segmentFd(std::uint64_t segment) {
  if (segment == writeSegment_ && writeFd_ >= 0) return writeFd_;
  return ::open(segmentPath(segment).c_str(), O_RDWR | O_CLOEXEC);
}

std::uint32_t Spool::originOf(const std::string& url, const std::string& handleId) {
  for (std::size_t i = 0; i < origins_.size(); ++i)
    if (origins_[i].origin.url == url && origins_[i].origin.handleId == handleId)
      return static_cast<std::uint32_t>(i);
  origins_.push_back({{url, handleId}, url});
  return static_cast<std::uint32_t>(origins_.size() - 1);
}

void Spool::push(const Entry& entry) {
  lanes_[origins_[entry.origin].lane].push_back(entry);
  records_.fetch_add(1);
  bytes_.fetch_add(entry.size);
  events_.fetch_add(entry.events);
}

std::vector<Spool::Origin> Spool::origins() const {
  std::vector<Origin> out;
  for (const KnownOrigin& known : origins_) out.push_back(known.origin);
  return out;
}

void Spool::regroup(const std::function<std::string(const Origin&)>& laneOf) {
  for (KnownOrigin& known : origins_) known.lane = laneOf(known.origin);
  std::vector<Entry> all;
  for (auto& [lane, entries] : lanes_) all.insert(all.end(), entries.begin(), entries.end());
  std::sort(all.begin(), all.end(),
            [](const Entry& a, const Entry& b) { return a.order < b.order; });
  lanes_.clear();
  for (const Entry& e : all) lanes_[origins_[e.origin].lane].push_back(e);
}

bool Spool::openWriteSegment(std::string* error) {
  // A fresh number each time: a file that is there already is never written over.
  for (; writeSegment_ < kSegmentNumbers; ++writeSegment_) {
    writeFd_ =
        ::open(segmentPath(writeSegment_).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (writeFd_ >= 0) {
      writeSize_ = 0;
      segments_[writeSegment_] = {0, 0};
      return true;
    }
    if (errno != EEXIST) break;
  }
  if (error) {
    *error = writeSegment_ < kSegmentNumbers
                 ? segmentPath(writeSegment_) + ": " + std::strerror(errno)
                 : "the spool's segment numbers are used up";
  }
  return false;
}

bool Spool::appendRaw(std::uint32_t origin, const std::string& bytes, std::int64_t spooledAt,
                      std::uint32_t events, std::string* error) {
  if (writeFd_ >= 0 && writeSize_ > 0 && writeSize_ + bytes.size() > segmentBytes_) {
    ::close(writeFd_);
    writeFd_ = -1;
    ++writeSegment_;
  }
  if (writeFd_ < 0 && !openWriteSegment(error)) return false;
  Segment& segment = segments_[writeSegment_];
  if (!writeAll(writeFd_, bytes, writeSize_)) {
    if (error) *error = segmentPath(writeSegment_) + ": " + std::strerror(errno);
    // A half-written record would end the segment for every later one: cut it off.
    if (::ftruncate(writeFd_, static_cast<off_t>(writeSize_)) != 0) {
      ::close(writeFd_);
      writeFd_ = -1;
      ++writeSegment_;
      if (segment.waiting == 0) {
        ::unlink(segmentPath(writeSegment_ - 1).c_str());
        diskBytes_ -= segment.bytes;
        segments_.erase(writeSegment_ - 1);
      }
    }
    return false;
  }
  push({nextOrder_++, writeSegment_, writeSize_, bytes.size(), spooledAt, events, origin});
  writeSize_ += bytes.size();
  segment.waiting += 1;
  segment.bytes += bytes.size();
  diskBytes_ += bytes.size();
  return true;
}

void Spool::rewriteWaiting() {
  // Oldest first, each copy appended before its original leaves: the copies keep the order
  // of the originals, and a kill in between leaves a record twice, never none.
  for (std::uint64_t n = records_.load(); n > 0 && !lanes_.empty(); --n) {
    const auto lane = oldestLane();
    const Entry e = lane->second.front();
    const int fd = segmentFd(e.segment);
    std::optional<std::string> bytes = fd >= 0 ? readAt(fd, e.offset, e.size) : std::nullopt;
    if (fd >= 0 && fd != writeFd_) ::close(fd);
    if (!bytes || !checkedHeader(*bytes)) {
      dropFront(lane, droppedAtOpen_);  // it would be dropped on its turn anyway
      continue;
    }
    if (!appendRaw(e.origin, *bytes, e.spooledAt, e.events, nullptr)) return;
    leave(lanes_.find(origins_[e.origin].lane));
  }
}

bool Spool::overBounds(std::uint64_t incoming) const {
  return bytes_.load() + incoming > limits_.maxBytes ||
         diskBytes_ + incoming > limits_.maxBytes + segmentBytes_;
}

bool Spool::append(const SpoolRecord& record, SpoolDrop& dropped, std::string* error) {
  return append(record, record.body, dropped, error);
}

bool Spool::append(const SpoolRecord& record, std::string_view body, SpoolDrop& dropped,
                   std::string* error) {
  recent_.reset();
  std::string bytes = encode(record, body);
  if (bytes.size() > limits_.maxBytes) {
    if (error) {
      *error = "a record of " + std::to_string(bytes.size()) +
               " bytes is larger than the spool's bound of " + std::to_string(limits_.maxBytes);
    }
    return false;
  }
  // Room first: the directory never holds more than the bounds allow, not even for a moment.
  while (!lanes_.empty() && overBounds(bytes.size())) dropFront(oldestLane(), dropped);
  const std::uint32_t origin = originOf(record.url, record.handleId);
  if (!appendRaw(origin, bytes, record.spooledAt, record.events, error)) return false;
  const Entry& e = lanes_[origins_[origin].lane].back();
  recent_ = Recent{e.segment, e.offset, std::move(bytes)};
  return true;
}

std::vector<std::string> Spool::lanes() const {
  std::vector<std::pair<std::uint64_t, std::string>> byAge;
  for (const auto& [lane, entries] : lanes_) byAge.emplace_back(entries.front().order, lane);
  std::sort(byAge.begin(), byAge.end());
  std::vector<std::string> out;
  for (auto& [order, lane] : byAge) out.push_back(std::move(lane));
  return out;
}

Spool::Lanes::iterator Spool::oldestLane() {
  auto oldest = lanes_.begin();
  for (auto it = lanes_.begin(); it != lanes_.end(); ++it)
    if (it->second.front().order < oldest->second.front().order) oldest = it;
  return oldest;
}

std::optional<SpoolRecord> Spool::front(SpoolDrop& dropped) {
  while (!lanes_.empty()) {
    const std::string lane = oldestLane()->first;
    std::optional<SpoolRecord> r = front(lane, dropped);
    // The lane's oldest may have been dropped (aged or unreadable): the record is the oldest
    // of all only while its lane still is the one with the oldest.
    if (r && oldestLane()->first == lane) return r;
  }
  return std::nullopt;
}

void Spool::pop() {
  if (!lanes_.empty()) leave(oldestLane());
}

std::optional<SpoolRecord> Spool::front(const std::string& laneName, SpoolDrop& dropped) {
  const std::int64_t oldest = nowSeconds() - limits_.maxAge.count();
  for (auto lane = lanes_.find(laneName); lane != lanes_.end(); lane = lanes_.find(laneName)) {
    const Entry& e = lane->second.front();
    if (e.spooledAt < oldest) {
      dropFront(lane, dropped);
      continue;
    }
    if (recent_ && recent_->segment == e.segment && recent_->offset == e.offset) {
      std::optional<SpoolRecord> r = takeRecord(std::move(recent_->bytes));
      recent_.reset();
      if (r) return r;
    }
    const int fd = segmentFd(e.segment);
    std::optional<std::string> bytes = fd >= 0 ? readAt(fd, e.offset, e.size) : std::nullopt;
    if (fd >= 0 && fd != writeFd_) ::close(fd);
    std::optional<Header> h = bytes ? checkedHeader(*bytes) : std::nullopt;
    std::optional<SpoolRecord> r =
        h ? decodePayload(std::string_view(*bytes).substr(kHeaderSize)) : std::nullopt;
    if (r) return r;
    ZEP_CONSOLE("spool: a record of " + segmentPath(e.segment) + " no longer reads back; dropped");
    dropFront(lane, dropped);
  }
  return std::nullopt;
}

void Spool::markLeft(const Entry& e) {
  const int fd = segmentFd(e.segment);
  if (fd < 0) return;
  const char left = kLeft;
  (void)writeAll(fd, std::string_view(&left, 1), e.offset + kStateOffset);
  if (fd != writeFd_) ::close(fd);
}

void Spool::pop(const std::string& lane) {
  const auto it = lanes_.find(lane);
  if (it != lanes_.end()) leave(it);
}

void Spool::leave(Lanes::iterator lane) {
  const Entry e = lane->second.front();
  if (recent_ && recent_->segment == e.segment && recent_->offset == e.offset) recent_.reset();
  markLeft(e);
  lane->second.pop_front();
  if (lane->second.empty()) lanes_.erase(lane);
  records_.fetch_sub(1);
  bytes_.fetch_sub(e.size);
  events_.fetch_sub(e.events);
  const auto segment = segments_.find(e.segment);
  if (segment == segments_.end() || --segment->second.waiting > 0) return;
  if (e.segment == writeSegment_) {
    // Everything appended has left: start afresh rather than grow an empty segment.
    if (writeFd_ >= 0) ::close(writeFd_);
    writeFd_ = -1;
    ++writeSegment_;
  }
  ::unlink(segmentPath(e.segment).c_str());
  diskBytes_ -= segment->second.bytes;
  segments_.erase(segment);
}

void Spool::dropFront(Lanes::iterator lane, SpoolDrop& dropped) {
  dropped.records += 1;
  dropped.events += lane->second.front().events;
  leave(lane);
}

}  // namespace zeplog::detail
