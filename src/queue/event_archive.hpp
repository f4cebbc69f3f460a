// The queue files' archive: a versioned, checksummed, self-describing list of events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "zeplog/vela_event.hpp"

namespace zeplog::detail {

// The byte layout is written down in docs/queue_files.md; a reader of a later version must
// keep reading what this one writes.
inline constexpr std::uint32_t kEventArchiveVersion = 1;

// Appends the archive's primitives to a byte buffer. An event entry is a keyed record: each
// member is written with its key and the kind of its value (absent, text, byte data, 64-bit
// integer, field dictionary), so a reader tells absent from empty and text from byte data.
//
// A key is written out once per archive; later uses refer to it by number. Events of one
// queue mostly carry the same keys in the same order, so the number the key had at the same
// place of the previous record is tried first, and only a miss looks the key up. The key texts
// handed in must outlive the encoder.
class ArchiveEncoder {
 public:
  explicit ArchiveEncoder(std::string& out) : out_(out) {}

  void varint(std::uint64_t v);
  void string(std::string_view s);  // length, then the bytes
  void beginRecord(std::size_t members) {
    varint(members);
    position_ = 0;
  }
  void absent(std::string_view name);
  void text(std::string_view name, const OptText& value);
  void bytes(std::string_view name, const std::optional<Bytes>& value);
  void int64(std::string_view name, std::int64_t value);
  void fields(std::string_view name, const FieldsPtr& value);

 private:
  void key(std::string_view name);
  void kind(std::string_view name, std::uint8_t valueKind);
  std::string& out_;
  std::vector<std::string_view> keys_;                           // by number - 1, in order of use
  std::unordered_map<std::string_view, std::uint32_t> numbers_;  // key to its number
  std::vector<std::uint32_t> previous_;  // number of the key at each place of the last record
  std::size_t position_ = 0;             // place in the current record
};

// Reads the archive's primitives back. Every read checks that the bytes it needs are there;
// the first failure is kept and every later read fails, so a caller tests ok() once at the
// end of a record instead of after every read.
class ArchiveDecoder {
 public:
  explicit ArchiveDecoder(std::string_view in) : in_(in) {}

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  bool atEnd() const { return pos_ == in_.size(); }
  void fail(std::string why);

  std::uint64_t varint();
  // A count of items that each take at least one byte: more than the bytes left is corrupt,
  // and refusing it early keeps a corrupt count from reserving memory.
  std::size_t count();
  std::string_view string();

  // One member of a keyed record: its key and the kind of its value, then the value read by
  // the matching reader below. Each reader fails on a value of another kind, except that
  // every optional member accepts "absent".
  struct Member {
    std::string_view key;
    std::uint8_t kind = 0;
  };
  Member member();
  OptText text(const Member& m);
  std::optional<Bytes> bytes(const Member& m);
  std::int64_t int64(const Member& m);
  FieldsPtr fields(const Member& m);
  void skip(const Member& m);  // a member this version does not know

 private:
  std::string_view take(std::size_t n);
  std::string_view key();
  std::string_view in_;
  std::vector<std::string_view> keys_;  // keys met so far, by number - 1
  std::size_t pos_ = 0;
  std::string error_;  // first failure; empty while every read succeeded
};

// The event record's archived form: writes the nine members under their keys, in order
// ("projectName", "projectVersion", "logType", "logSource", "body", "sendTime", "host",
// "fields", "handleId"), absent ones as absent.
void encodeWithCoder(const VelaEvent& event, ArchiveEncoder& coder);
// Reads one event record. A missing key leaves its member absent ("sendTime" 0), unknown keys
// are skipped, and "fields" comes back as a new dictionary that takes new keys. nullptr when
// the record is malformed (the decoder's error() says why).
VelaEventPtr initWithCoder(ArchiveDecoder& coder);

// The whole file: header, root key, the events head first, checksum.
std::string encodeEventArchive(std::string_view rootKey, const std::vector<VelaEventPtr>& events);

// Reads a whole file made by encodeEventArchive under rootKey. Either every event comes back
// (true) or none does (false, with a description: empty, truncated, corrupt, wrong version,
// wrong root key).
bool decodeEventArchive(std::string_view file, std::string_view rootKey,
                        std::vector<VelaEventPtr>& events, std::string& error);

// CRC-32C (Castagnoli) of data, continuing from crc (0 to start): with the processor's CRC
// instruction where there is one, else crc32cPortable.
std::uint32_t crc32c(std::string_view data, std::uint32_t crc = 0);
std::uint32_t crc32cPortable(std::string_view data, std::uint32_t crc = 0);

}  // namespace zeplog::detail
