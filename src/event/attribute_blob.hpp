// A log call's typed attributes packed into one run of bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "zeplog/attribute.hpp"

namespace zeplog::detail {

// The packed form, attribute after attribute, with no alignment:
//
//   attribute := type:u8  keyBytes:u8  key  value
//   value     := textBytes:u16 text       (type Text)
//              | 8 bytes of an int64      (type Int, host byte order)
//              | 8 bytes of a double      (type Double)
//              | 1 byte, 0 or 1           (type Bool)
//
// The sizes fit because the writer enforces the public limits (kMaxAttributes,
// kMaxAttributeKeyBytes, kMaxAttributeTextBytes). The bytes stay in the process (a thread's
// staging ring, an event's own allocation), so host byte order is enough.
static_assert(kMaxAttributeKeyBytes <= UINT8_MAX && kMaxAttributeTextBytes <= UINT16_MAX);

// The bytes packAttributes writes for these attributes, limits applied.
std::size_t packedAttributeBytes(std::span<const Attribute> attributes) noexcept;

// Writes the attributes to out, which has packedAttributeBytes(attributes) bytes. Keys and
// texts are cut to their limits, never inside a UTF-8 sequence (but not checked as UTF-8:
// validPackedAttributes does that later, off the caller's thread),
// attributes past kMaxAttributes and those with an empty key are left out. Returns how many
// attributes were cut or left out. No allocation, no lock: the log call runs it.
std::uint32_t packAttributes(std::span<const Attribute> attributes, char* out) noexcept;

// One attribute read back; views into the packed bytes.
struct PackedAttribute {
  std::string_view key;
  AttributeValue value;
};

// Reads packed attributes in order: for (PackedAttribute a : PackedAttributes(bytes)).
// Stops at the first attribute that does not fit in the bytes.
class PackedAttributes {
 public:
  explicit PackedAttributes(std::string_view bytes) : bytes_(bytes) {}

  class Iterator {
   public:
    Iterator(std::string_view rest) { read(rest); }
    const PackedAttribute& operator*() const { return current_; }
    Iterator& operator++() {
      read(rest_);
      return *this;
    }
    bool operator==(const Iterator& other) const { return done_ == other.done_; }

   private:
    void read(std::string_view from);
    std::string_view rest_;
    PackedAttribute current_{{}, AttributeValue(false)};
    bool done_ = false;
  };
  Iterator begin() const { return Iterator(bytes_); }
  Iterator end() const { return Iterator(std::string_view()); }
  bool empty() const { return bytes_.empty(); }

 private:
  std::string_view bytes_;
};

// The attributes as they may be sent: each key and text valid UTF-8 (repaired, cut at a
// character boundary), those named like a library field (isLibraryFieldName) left out and
// counted in clashes. The same bytes, not copied, when nothing changes; else a new pack in
// spare.
std::string_view sendablePackedAttributes(std::string_view bytes, std::string& spare,
                                          std::uint32_t& clashes);

}  // namespace zeplog::detail
