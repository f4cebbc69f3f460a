#include "queue/event_archive.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <utility>
#include <variant>

namespace zeplog::detail {
namespace {

// File layout (docs/queue_files.md):
//   magic "ZEPQUEUE" | version u32 | body length u64 | body | CRC-32C u32 of all before it
// Integers in the header and trailer are little-endian; the body uses LEB128 varints.
constexpr std::string_view kMagic = "ZEPQUEUE";
constexpr std::size_t kHeaderSize = 8 + 4 + 8;
constexpr std::size_t kTrailerSize = 4;

// Kinds of member values.
enum Kind : std::uint8_t {
  kAbsent = 0,
  kText = 1,
  kBytes = 2,
  kInt64 = 3,
  kDictionary = 4,
};

// Member keys of the event record.
constexpr std::string_view kProjectName = "projectName";
constexpr std::string_view kProjectVersion = "projectVersion";
constexpr std::string_view kLogType = "logType";
constexpr std::string_view kLogSource = "logSource";
constexpr std::string_view kBody = "body";
constexpr std::string_view kSendTime = "sendTime";
constexpr std::string_view kHost = "host";
constexpr std::string_view kFields = "fields";
constexpr std::string_view kHandleId = "handleId";
constexpr std::size_t kEventMembers = 9;

void putLE(std::string& out, std::uint64_t v, int bytes) {
  char b[8];
  for (int i = 0; i < bytes; ++i) b[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  out.append(b, static_cast<std::size_t>(bytes));
}

std::uint64_t getLE(std::string_view in, std::size_t at, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) {
    v |= std::uint64_t{static_cast<unsigned char>(in[at + static_cast<std::size_t>(i)])} << (8 * i);
  }
  return v;
}

// CRC-32C, reflected polynomial 0x82F63B78, eight table lookups per 8 bytes.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;
constexpr CrcTables makeCrcTables() {
  CrcTables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ ((c & 1u) ? 0x82F63B78u : 0u);
    t[0][i] = c;
  }
  for (std::size_t n = 1; n < 8; ++n) {
    for (std::uint32_t i = 0; i < 256; ++i) t[n][i] = (t[n - 1][i] >> 8) ^ t[0][t[n - 1][i] & 0xFF];
  }
  return t;
}
constexpr CrcTables kCrc = makeCrcTables();

std::string valueKindName(std::uint8_t k) {
  switch (k) {
    case kAbsent:
      return "absent";
    case kText:
      return "text";
    case kBytes:
      return "byte data";
    case kInt64:
      return "integer";
    case kDictionary:
      return "dictionary";
    default:
      return "kind " + std::to_string(k);
  }
}

#if defined(__x86_64__)
// The SSE4.2 crc32 instruction computes the same CRC eight bytes at a time, several times
// faster than the tables; it is used where the processor has it.
__attribute__((target("sse4.2"))) std::uint32_t crc32cSse42(std::string_view data,
                                                            std::uint32_t crc) {
  std::uint64_t c = ~crc;
  const char* p = data.data();
  std::size_t n = data.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    c = __builtin_ia32_crc32di(c, w);
  }
  auto c32 = static_cast<std::uint32_t>(c);
  for (; n > 0; ++p, --n) c32 = __builtin_ia32_crc32qi(c32, static_cast<unsigned char>(*p));
  return ~c32;
}

bool haveSse42() {
  static const bool have = __builtin_cpu_supports("sse4.2");
  return have;
}

// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_haveSse42MadeAtLoad = (static_cast<void>(haveSse42()), true);
#endif

}  // namespace

std::uint32_t crc32c(std::string_view data, std::uint32_t crc) {
#if defined(__x86_64__)
  if (haveSse42()) return crc32cSse42(data, crc);
#endif
  return crc32cPortable(data, crc);
}

std::uint32_t crc32cPortable(std::string_view data, std::uint32_t crc) {
  crc = ~crc;
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t n = data.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint32_t lo;
    std::uint32_t hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + 4, 4);
    if constexpr (std::endian::native == std::endian::big) {
      lo = __builtin_bswap32(lo);
      hi = __builtin_bswap32(hi);
    }
    lo ^= crc;
    crc = kCrc[7][lo & 0xFF] ^ kCrc[6][(lo >> 8) & 0xFF] ^ kCrc[5][(lo >> 16) & 0xFF] ^
          kCrc[4][lo >> 24] ^ kCrc[3][hi & 0xFF] ^ kCrc[2][(hi >> 8) & 0xFF] ^
          kCrc[1][(hi >> 16) & 0xFF] ^ kCrc[0][hi >> 24];
  }
  for (; n > 0; ++p, --n) crc = (crc >> 8) ^ kCrc[0][(crc ^ *p) & 0xFF];
  return ~crc;
}

// ---- Encoder -------------------------------------------------------------------------------

void ArchiveEncoder::varint(std::uint64_t v) {
  char b[10];
  int n = 0;
  while (v >= 0x80) {
    b[n++] = static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  b[n++] = static_cast<char>(v);
  out_.append(b, static_cast<std::size_t>(n));
}

void ArchiveEncoder::string(std::string_view s) {
  varint(s.size());
  out_.append(s);
}

void ArchiveEncoder::key(std::string_view k) {
  const std::size_t at = position_++;
  if (at < previous_.size()) {
    const std::uint32_t guess = previous_[at];
    if (guess != 0 && keys_[guess - 1] == k) return varint(guess);
  } else {
    previous_.resize(at + 1);
  }
  std::uint32_t number;
  if (auto it = numbers_.find(k); it != numbers_.end()) {
    number = it->second;
    varint(number);
  } else {
    keys_.push_back(k);
    number = static_cast<std::uint32_t>(keys_.size());
    numbers_.emplace(k, number);
    varint(0);  // a new key: its text follows and it takes the next number
    string(k);
  }
  previous_[at] = number;
}

void ArchiveEncoder::kind(std::string_view k, std::uint8_t valueKind) {
  key(k);
  out_.push_back(static_cast<char>(valueKind));
}

void ArchiveEncoder::absent(std::string_view name) { kind(name, kAbsent); }

void ArchiveEncoder::text(std::string_view name, const OptText& value) {
  if (!value) return absent(name);
  kind(name, kText);
  string(*value);
}

void ArchiveEncoder::bytes(std::string_view name, const std::optional<Bytes>& value) {
  if (!value) return absent(name);
  kind(name, kBytes);
  string(value->view());
}

void ArchiveEncoder::int64(std::string_view name, std::int64_t value) {
  kind(name, kInt64);
  putLE(out_, static_cast<std::uint64_t>(value), 8);
}

void ArchiveEncoder::fields(std::string_view name, const FieldsPtr& value) {
  if (!value) return absent(name);
  kind(name, kDictionary);
  varint(value->size());
  for (const auto& [k, v] : *value) {
    key(k);
    if (const auto* t = std::get_if<std::string>(&v)) {
      out_.push_back(static_cast<char>(kText));
      string(*t);
    } else {
      out_.push_back(static_cast<char>(kBytes));
      string(std::get<Bytes>(v).view());
    }
  }
}

// ---- Decoder -------------------------------------------------------------------------------

void ArchiveDecoder::fail(std::string why) {
  if (error_.empty()) error_ = std::move(why);
  pos_ = in_.size();  // nothing more is read
}

std::string_view ArchiveDecoder::take(std::size_t n) {
  if (!ok()) return {};
  if (in_.size() - pos_ < n) {
    fail("corrupt archive: a value runs past the end of the events");
    return {};
  }
  std::string_view s = in_.substr(pos_, n);
  pos_ += n;
  return s;
}

std::uint64_t ArchiveDecoder::varint() {
  std::uint64_t v = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    std::string_view b = take(1);
    if (b.empty()) return 0;
    auto c = static_cast<unsigned char>(b[0]);
    v |= std::uint64_t{c & 0x7Fu} << shift;
    if ((c & 0x80u) == 0) return v;
  }
  fail("corrupt archive: an over-long number");
  return 0;
}

std::size_t ArchiveDecoder::count() {
  std::uint64_t n = varint();
  if (ok() && n > in_.size() - pos_) {
    fail("corrupt archive: a count larger than the data");
    return 0;
  }
  return static_cast<std::size_t>(n);
}

std::string_view ArchiveDecoder::string() {
  std::uint64_t n = varint();
  if (!ok()) return {};
  if (n > in_.size() - pos_) {
    fail("corrupt archive: a value runs past the end of the events");
    return {};
  }
  return take(static_cast<std::size_t>(n));
}

std::string_view ArchiveDecoder::key() {
  const std::uint64_t number = varint();
  if (!ok()) return {};
  if (number == 0) {
    std::string_view k = string();
    if (ok()) keys_.push_back(k);
    return k;
  }
  if (number > keys_.size()) {
    fail("corrupt archive: key number " + std::to_string(number) + " before its key");
    return {};
  }
  return keys_[number - 1];
}

ArchiveDecoder::Member ArchiveDecoder::member() {
  Member m;
  m.key = key();
  std::string_view k = take(1);
  if (!k.empty()) m.kind = static_cast<std::uint8_t>(k[0]);
  return m;
}

namespace {
std::string wrongKind(const ArchiveDecoder::Member& m, std::string_view expected) {
  return "corrupt archive: \"" + std::string(m.key) + "\" holds " + valueKindName(m.kind) +
         " where " + std::string(expected) + " belongs";
}
}  // namespace

OptText ArchiveDecoder::text(const Member& m) {
  if (m.kind == kAbsent) return std::nullopt;
  if (m.kind != kText) {
    fail(wrongKind(m, "text"));
    return std::nullopt;
  }
  std::string_view s = string();
  return ok() ? OptText(std::string(s)) : std::nullopt;
}

std::optional<Bytes> ArchiveDecoder::bytes(const Member& m) {
  if (m.kind == kAbsent) return std::nullopt;
  if (m.kind != kBytes) {
    fail(wrongKind(m, "byte data"));
    return std::nullopt;
  }
  std::string_view s = string();
  return ok() ? std::optional<Bytes>(Bytes(s)) : std::nullopt;
}

std::int64_t ArchiveDecoder::int64(const Member& m) {
  if (m.kind == kAbsent) return 0;
  if (m.kind != kInt64) {
    fail(wrongKind(m, "an integer"));
    return 0;
  }
  std::string_view s = take(8);
  return ok() ? static_cast<std::int64_t>(getLE(s, 0, 8)) : 0;
}

FieldsPtr ArchiveDecoder::fields(const Member& m) {
  if (m.kind == kAbsent) return nullptr;
  if (m.kind != kDictionary) {
    fail(wrongKind(m, "a dictionary"));
    return nullptr;
  }
  std::size_t n = count();
  auto out = std::make_shared<Fields>();
  out->reserve(n);
  for (std::size_t i = 0; i < n && ok(); ++i) {
    Member entry = member();
    if (!ok()) break;
    if (entry.kind == kText) {
      std::string_view v = string();
      out->set(entry.key, FieldValue(std::in_place_type<std::string>, v));
    } else if (entry.kind == kBytes) {
      std::string_view v = string();
      out->set(entry.key, FieldValue(std::in_place_type<Bytes>, v));
    } else {
      fail(wrongKind(entry, "text or byte data"));
    }
  }
  return ok() ? out : nullptr;
}

void ArchiveDecoder::skip(const Member& m) {
  switch (m.kind) {
    case kAbsent:
      return;
    case kText:
    case kBytes:
      string();
      return;
    case kInt64:
      take(8);
      return;
    case kDictionary:
      fields(m);
      return;
    default:
      fail("corrupt archive: \"" + std::string(m.key) + "\" holds " + valueKindName(m.kind));
  }
}

// ---- The event record ----------------------------------------------------------------------

void encodeWithCoder(const VelaEvent& event, ArchiveEncoder& coder) {
  coder.beginRecord(kEventMembers);
  coder.text(kProjectName, event.projectName());
  coder.text(kProjectVersion, event.projectVersion());
  coder.text(kLogType, event.logType());
  coder.text(kLogSource, event.logSource());
  coder.bytes(kBody, event.body());
  coder.int64(kSendTime, event.sendTime());
  coder.text(kHost, event.host());
  coder.fields(kFields, event.fields());
  coder.text(kHandleId, event.handleId());
}

VelaEventPtr initWithCoder(ArchiveDecoder& coder) {
  OptText projectName, projectVersion, logType, logSource, host, handleId;
  std::optional<Bytes> body;
  std::int64_t sendTime = 0;
  FieldsPtr fields;
  std::size_t members = coder.count();
  for (std::size_t i = 0; i < members && coder.ok(); ++i) {
    ArchiveDecoder::Member m = coder.member();
    if (!coder.ok()) break;
    if (m.key == kProjectName) {
      projectName = coder.text(m);
    } else if (m.key == kProjectVersion) {
      projectVersion = coder.text(m);
    } else if (m.key == kLogType) {
      logType = coder.text(m);
    } else if (m.key == kLogSource) {
      logSource = coder.text(m);
    } else if (m.key == kBody) {
      body = coder.bytes(m);
    } else if (m.key == kSendTime) {
      sendTime = coder.int64(m);
    } else if (m.key == kHost) {
      host = coder.text(m);
    } else if (m.key == kFields) {
      fields = coder.fields(m);
    } else if (m.key == kHandleId) {
      handleId = coder.text(m);
    } else {
      coder.skip(m);  // written by a later version: not this record's concern
    }
  }
  if (!coder.ok()) return nullptr;
  return std::make_shared<VelaEvent>(projectName, projectVersion, logType, logSource,
                                     std::move(body), sendTime, host, std::move(fields), handleId);
}

// ---- The whole file ------------------------------------------------------------------------

std::string encodeEventArchive(std::string_view rootKey, const std::vector<VelaEventPtr>& events) {
  // One pass to size the buffer roughly, so appending rarely reallocates.
  std::size_t estimate = kHeaderSize + kTrailerSize + rootKey.size() + 16;
  for (const VelaEventPtr& e : events) {
    estimate += 160 + (e->body() ? e->body()->size() : 0);
    if (e->fields()) {
      for (const auto& [k, v] : *e->fields()) {
        estimate +=
            k.size() + 12 + std::visit([](const auto& x) -> std::size_t { return x.size(); }, v);
      }
    }
  }
  std::string out;
  out.reserve(estimate);
  out.append(kMagic);
  putLE(out, kEventArchiveVersion, 4);
  putLE(out, 0, 8);  // body length, filled in below

  ArchiveEncoder coder(out);
  coder.string(rootKey);
  coder.varint(events.size());
  for (const VelaEventPtr& e : events) encodeWithCoder(*e, coder);

  const std::uint64_t bodyLength = out.size() - kHeaderSize;
  for (int i = 0; i < 8; ++i) {
    out[12 + static_cast<std::size_t>(i)] = static_cast<char>((bodyLength >> (8 * i)) & 0xFF);
  }
  putLE(out, crc32c(out), 4);
  return out;
}

bool decodeEventArchive(std::string_view file, std::string_view rootKey,
                        std::vector<VelaEventPtr>& events, std::string& error) {
  events.clear();
  if (file.empty()) {
    error = "empty file";
    return false;
  }
  const std::size_t magicSeen = std::min(file.size(), kMagic.size());
  if (file.substr(0, magicSeen) != kMagic.substr(0, magicSeen)) {
    error = "not a queue archive (unknown header)";
    return false;
  }
  if (file.size() < kHeaderSize + kTrailerSize) {
    error = "truncated archive: " + std::to_string(file.size()) + " bytes";
    return false;
  }
  const auto version = static_cast<std::uint32_t>(getLE(file, 8, 4));
  if (version != kEventArchiveVersion) {
    error = "unsupported archive version " + std::to_string(version) + " (this reader knows " +
            std::to_string(kEventArchiveVersion) + ")";
    return false;
  }
  const std::uint64_t bodyLength = getLE(file, 12, 8);
  const std::uint64_t available = file.size() - kHeaderSize - kTrailerSize;
  if (bodyLength > available) {
    error = "truncated archive: " + std::to_string(file.size()) + " of " +
            std::to_string(bodyLength + kHeaderSize + kTrailerSize) + " bytes";
    return false;
  }
  if (bodyLength < available) {
    error = "corrupt archive: " + std::to_string(available - bodyLength) + " bytes past its end";
    return false;
  }
  const std::size_t checked = file.size() - kTrailerSize;
  const auto stored = static_cast<std::uint32_t>(getLE(file, checked, 4));
  if (crc32c(file.substr(0, checked)) != stored) {
    error = "corrupt archive: checksum mismatch";
    return false;
  }

  ArchiveDecoder coder(file.substr(kHeaderSize, bodyLength));
  std::string_view root = coder.string();
  if (coder.ok() && root != rootKey) {
    error = "root key \"" + std::string(root) + "\" where \"" + std::string(rootKey) +
            "\" was expected";
    return false;
  }
  std::vector<VelaEventPtr> decoded;
  std::size_t n = coder.count();
  decoded.reserve(n);
  for (std::size_t i = 0; i < n && coder.ok(); ++i) {
    VelaEventPtr e = initWithCoder(coder);
    if (e) decoded.push_back(std::move(e));
  }
  if (coder.ok() && !coder.atEnd()) coder.fail("corrupt archive: bytes after the last event");
  if (!coder.ok()) {
    error = coder.error();
    return false;
  }
  events = std::move(decoded);
  return true;
}

}  // namespace zeplog::detail
