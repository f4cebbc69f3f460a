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
// A segment is closed for appends past this size, so that emptied ones can be deleted.
constexpr std::uint64_t kSegmentBytes = 8u << 20;
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

// The segment numbers in dir, in order.
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
    if (hex) out.push_back(n);
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
    spool->adoptFreeSlots(base);
    return spool;
  }
  if (error) *error = "every spool slot under " + dataDir + " is in use or cannot be made";
  return nullptr;
}

Spool::Spool(std::string dir, int lockFd, Limits limits)
    : dir_(std::move(dir)), lockFd_(lockFd), limits_(limits) {}

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
  entries_.clear();
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
        entries_.push_back({segment, at, kHeaderSize + h.payloadSize, r->spooledAt, r->events});
        records_.fetch_add(1);
        bytes_.fetch_add(kHeaderSize + h.payloadSize);
        events_.fetch_add(r->events);
        ++waiting;
      });
  if (whole < bytes->size()) {
    ZEP_CONSOLE("spool: cut " + std::to_string(bytes->size() - whole) +
                " bytes of a torn or damaged record off " + path);
    if (::truncate(path.c_str(), static_cast<off_t>(whole)) != 0)
      ZEP_CONSOLE("spool: cannot cut " + path + ": " + std::strerror(errno));
  }
  if (waiting == 0) ::unlink(path.c_str());
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
      bool copied = true;
      if (bytes) {
        forEachRecord(*bytes, [&](std::size_t, const Header& h, std::string_view payload) {
          const std::optional<SpoolRecord> r = decodePayload(payload);
          if (h.state != kWaiting || !r) return;
          copied = append(*r, droppedAtOpen_, nullptr) && copied;
        });
      }
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

bool Spool::appendRaw(const std::string& bytes, std::int64_t spooledAt, std::uint32_t events,
                      std::string* error) {
  if (writeFd_ >= 0 && writeSize_ >= kSegmentBytes) {
    ::close(writeFd_);
    writeFd_ = -1;
    ++writeSegment_;
  }
  if (writeFd_ < 0) {
    writeFd_ =
        ::open(segmentPath(writeSegment_).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    writeSize_ = 0;
    if (writeFd_ < 0) {
      if (error) *error = segmentPath(writeSegment_) + ": " + std::strerror(errno);
      return false;
    }
  }
  if (!writeAll(writeFd_, bytes, writeSize_)) {
    if (error) *error = segmentPath(writeSegment_) + ": " + std::strerror(errno);
    // A half-written record would end the segment for every later one: cut it off.
    if (::ftruncate(writeFd_, static_cast<off_t>(writeSize_)) != 0) {
      ::close(writeFd_);
      writeFd_ = -1;
      ++writeSegment_;
    }
    return false;
  }
  entries_.push_back({writeSegment_, writeSize_, bytes.size(), spooledAt, events});
  writeSize_ += bytes.size();
  records_.fetch_add(1);
  bytes_.fetch_add(bytes.size());
  events_.fetch_add(events);
  return true;
}

bool Spool::append(const SpoolRecord& record, SpoolDrop& dropped, std::string* error) {
  return append(record, record.body, dropped, error);
}

bool Spool::append(const SpoolRecord& record, std::string_view body, SpoolDrop& dropped,
                   std::string* error) {
  recent_.reset();
  std::string bytes = encode(record, body);
  if (!appendRaw(bytes, record.spooledAt, record.events, error)) return false;
  const Entry& e = entries_.back();
  recent_ = Recent{e.segment, e.offset, std::move(bytes)};
  while (!entries_.empty() && bytes_.load() > limits_.maxBytes) dropFront(dropped);
  return true;
}

std::optional<SpoolRecord> Spool::front(SpoolDrop& dropped) {
  const std::int64_t oldest = nowSeconds() - limits_.maxAge.count();
  while (!entries_.empty()) {
    const Entry& e = entries_.front();
    if (e.spooledAt < oldest) {
      dropFront(dropped);
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
    dropFront(dropped);
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

void Spool::pop() {
  if (entries_.empty()) return;
  const Entry e = entries_.front();
  if (recent_ && recent_->segment == e.segment && recent_->offset == e.offset) recent_.reset();
  markLeft(e);
  entries_.pop_front();
  records_.fetch_sub(1);
  bytes_.fetch_sub(e.size);
  events_.fetch_sub(e.events);
  const bool segmentDone = entries_.empty() || entries_.front().segment != e.segment;
  if (!segmentDone) return;
  if (e.segment == writeSegment_) {
    // Everything appended has left: start afresh rather than grow an empty segment.
    if (writeFd_ >= 0) ::close(writeFd_);
    writeFd_ = -1;
    ++writeSegment_;
  }
  ::unlink(segmentPath(e.segment).c_str());
}

void Spool::dropFront(SpoolDrop& dropped) {
  dropped.records += 1;
  dropped.events += entries_.front().events;
  pop();
}

}  // namespace zeplog::detail
