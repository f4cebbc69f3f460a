// Protobuf's wire format, written and read directly: the few field kinds the OTLP messages
// use (varint, 64- and 32-bit fixed, length-delimited).
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace zeplog::detail {

// Writes fields into a string. A nested message is opened with begin(), which leaves a slot
// of `slot` bytes for its length (the size its length usually takes), and closed with end(),
// which writes the length there: in place when it takes that many bytes, else the slot is
// narrowed or widened (moving the message). Lengths are always minimal varints.
class ProtobufWriter {
 public:
  explicit ProtobufWriter(std::string& out) : out_(out) {}

  void varintField(std::uint32_t field, std::uint64_t value) {
    tag(field, kVarint);
    varint(value);
  }
  void fixed64Field(std::uint32_t field, std::uint64_t value) {
    tag(field, kFixed64);
    littleEndian(value, 8);
  }
  void fixed32Field(std::uint32_t field, std::uint32_t value) {
    tag(field, kFixed32);
    littleEndian(value, 4);
  }
  void doubleField(std::uint32_t field, double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    fixed64Field(field, bits);
  }
  // A string, bytes or an already encoded message.
  void bytesField(std::uint32_t field, std::string_view data) {
    tag(field, kLength);
    varint(data.size());
    out_.append(data);
  }

  // Where an open message's length goes: end() takes it.
  struct Mark {
    std::size_t content = 0;  // the message's first byte
    std::uint8_t slot = 1;    // bytes left for its length, just before it
  };
  Mark begin(std::uint32_t field, std::uint8_t slot = 1) {
    tag(field, kLength);
    out_.append(slot, '\0');
    return {out_.size(), slot};
  }
  void end(Mark mark) {
    char buf[10];
    const std::size_t n = encodeVarint(out_.size() - mark.content, buf);
    const std::size_t at = mark.content - mark.slot;
    if (n == mark.slot) {
      std::memcpy(out_.data() + at, buf, n);
    } else {
      out_.replace(at, mark.slot, buf, n);
    }
  }

  static constexpr std::size_t encodeVarint(std::uint64_t value, char* buf) {
    std::size_t n = 0;
    while (value >= 0x80) {
      buf[n++] = static_cast<char>((value & 0x7F) | 0x80);
      value >>= 7;
    }
    buf[n++] = static_cast<char>(value);
    return n;
  }

 private:
  static constexpr std::uint32_t kVarint = 0, kFixed64 = 1, kLength = 2, kFixed32 = 5;

  void tag(std::uint32_t field, std::uint32_t wireType) { varint((field << 3) | wireType); }
  void varint(std::uint64_t value) {
    char buf[10];
    out_.append(buf, encodeVarint(value, buf));
  }
  void littleEndian(std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out_.push_back(static_cast<char>(value >> (8 * i)));
  }

  std::string& out_;
};

// Reads the fields of one message in order. A field's value is a number (varint and fixed
// kinds) or the bytes of a length-delimited one. Anything malformed (a truncated field, a
// group, an unknown wire type) ends the reading as failed().
class ProtobufReader {
 public:
  struct Field {
    std::uint32_t number = 0;
    std::uint64_t value = 0;  // varint, fixed64, fixed32
    std::string_view bytes;   // length-delimited
  };

  explicit ProtobufReader(std::string_view data) : data_(data) {}

  // The next field; none at the end or on malformed data.
  std::optional<Field> next() {
    if (data_.empty() || failed_) return std::nullopt;
    const std::optional<std::uint64_t> key = varint();
    if (!key || (*key >> 3) == 0 || (*key >> 3) > 0x1FFFFFFF) return fail();
    Field f;
    f.number = static_cast<std::uint32_t>(*key >> 3);
    switch (*key & 7) {
      case 0: {
        const std::optional<std::uint64_t> v = varint();
        if (!v) return fail();
        f.value = *v;
        return f;
      }
      case 1:
      case 5: {
        const std::size_t n = (*key & 7) == 1 ? 8 : 4;
        if (data_.size() < n) return fail();
        for (std::size_t i = 0; i < n; ++i)
          f.value |= static_cast<std::uint64_t>(static_cast<unsigned char>(data_[i])) << (8 * i);
        data_.remove_prefix(n);
        return f;
      }
      case 2: {
        const std::optional<std::uint64_t> n = varint();
        if (!n || *n > data_.size()) return fail();
        f.bytes = data_.substr(0, static_cast<std::size_t>(*n));
        data_.remove_prefix(static_cast<std::size_t>(*n));
        return f;
      }
      default:
        return fail();
    }
  }
  bool failed() const { return failed_; }

 private:
  std::nullopt_t fail() {
    failed_ = true;
    return std::nullopt;
  }
  std::optional<std::uint64_t> varint() {
    std::uint64_t value = 0;
    for (int shift = 0; shift < 64 && !data_.empty(); shift += 7) {
      const auto byte = static_cast<unsigned char>(data_.front());
      data_.remove_prefix(1);
      value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
      if (!(byte & 0x80)) return value;
    }
    return std::nullopt;
  }

  std::string_view data_;
  bool failed_ = false;
};

}  // namespace zeplog::detail
