#include "event/attribute_blob.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "common/small_copy.hpp"
#include "common/utf8.hpp"
#include "event/event_kind.hpp"

namespace zeplog::detail {
namespace {

using Type = AttributeValue::Type;

// The bytes of s kept under a limit of max: all of it, or the longest prefix that does not
// end inside a UTF-8 sequence (at most three bytes are looked at, no validation).
std::size_t keptBytes(std::string_view s, std::size_t max) noexcept {
  if (s.size() <= max) return s.size();
  std::size_t end = max;
  while (end > 0 && max - end < 3 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
  return end;
}

std::size_t valueBytes(const AttributeValue& v) noexcept {
  switch (v.type()) {
    case Type::Text:
      return 2 + keptBytes(v.text(), kMaxAttributeTextBytes);
    case Type::Int:
    case Type::Double:
      return 8;
    case Type::Bool:
      return 1;
  }
  return 0;
}

// The attributes a call keeps: the first kMaxAttributes with a key.
template <typename Each>
void forKept(std::span<const Attribute> attributes, Each&& each) noexcept {
  std::size_t kept = 0;
  for (const Attribute& a : attributes) {
    if (a.key.empty() || kept == kMaxAttributes) continue;
    ++kept;
    each(a);
  }
}

char* put(char* out, const void* bytes, std::size_t n) noexcept {
  return copyBytes(out, static_cast<const char*>(bytes), n);
}

// s repaired as valid UTF-8 and cut to at most max bytes at a character boundary.
std::string validCut(std::string_view s, std::size_t max) {
  std::string text = repairUtf8(s);
  text.resize(keptBytes(text, max));
  return text;
}

}  // namespace

std::size_t packedAttributeBytes(std::span<const Attribute> attributes) noexcept {
  std::size_t total = 0;
  forKept(attributes, [&](const Attribute& a) {
    total += 2 + keptBytes(a.key, kMaxAttributeKeyBytes) + valueBytes(a.value);
  });
  return total;
}

std::uint32_t packAttributes(std::span<const Attribute> attributes, char* out) noexcept {
  std::uint32_t cut = 0;
  std::size_t kept = 0;
  forKept(attributes, [&](const Attribute& a) {
    ++kept;
    const std::size_t keyBytes = keptBytes(a.key, kMaxAttributeKeyBytes);
    cut += keyBytes < a.key.size();
    const auto type = static_cast<std::uint8_t>(a.value.type());
    const auto keySize = static_cast<std::uint8_t>(keyBytes);
    out = put(out, &type, 1);
    out = put(out, &keySize, 1);
    out = put(out, a.key.data(), keyBytes);
    switch (a.value.type()) {
      case Type::Text: {
        const std::string_view text = a.value.text();
        const auto textBytes = static_cast<std::uint16_t>(keptBytes(text, kMaxAttributeTextBytes));
        cut += textBytes < text.size();
        out = put(out, &textBytes, 2);
        out = put(out, text.data(), textBytes);
        break;
      }
      case Type::Int: {
        const std::int64_t n = a.value.integer();
        out = put(out, &n, 8);
        break;
      }
      case Type::Double: {
        const double x = a.value.number();
        out = put(out, &x, 8);
        break;
      }
      case Type::Bool: {
        const char b = a.value.boolean() ? 1 : 0;
        out = put(out, &b, 1);
        break;
      }
    }
  });
  return cut + static_cast<std::uint32_t>(attributes.size() - kept);
}

void PackedAttributes::Iterator::read(std::string_view from) {
  auto take = [&](std::size_t n) -> std::optional<std::string_view> {
    if (from.size() < n) return std::nullopt;
    std::string_view part = from.substr(0, n);
    from.remove_prefix(n);
    return part;
  };
  done_ = true;
  auto head = take(2);
  if (!head) return;
  const auto type = static_cast<unsigned char>((*head)[0]);
  auto key = take(static_cast<unsigned char>((*head)[1]));
  if (!key || type > static_cast<unsigned char>(Type::Bool)) return;
  current_.key = *key;
  switch (static_cast<Type>(type)) {
    case Type::Text: {
      auto size = take(2);
      if (!size) return;
      std::uint16_t n = 0;
      std::memcpy(&n, size->data(), 2);
      auto text = take(n);
      if (!text) return;
      current_.value = AttributeValue(*text);
      break;
    }
    case Type::Int:
    case Type::Double: {
      auto raw = take(8);
      if (!raw) return;
      if (static_cast<Type>(type) == Type::Int) {
        std::int64_t n = 0;
        std::memcpy(&n, raw->data(), 8);
        current_.value = AttributeValue(n);
      } else {
        double x = 0;
        std::memcpy(&x, raw->data(), 8);
        current_.value = AttributeValue(x);
      }
      break;
    }
    case Type::Bool: {
      auto raw = take(1);
      if (!raw) return;
      current_.value = AttributeValue((*raw)[0] != 0);
      break;
    }
  }
  rest_ = from;
  done_ = false;
}

std::string_view sendablePackedAttributes(std::string_view bytes, std::string& spare,
                                          std::uint32_t& clashes) {
  bool asIs = true;
  for (const PackedAttribute& a : PackedAttributes(bytes)) {
    const bool clash = isLibraryFieldName(a.key);
    clashes += clash;
    asIs = asIs && !clash && isValidUtf8(a.key) && isValidUtf8(a.value.text());
  }
  if (asIs) return bytes;
  // Repacked from repaired copies, which must stay put while the pack reads them.
  std::vector<std::string> texts;
  texts.reserve(2 * kMaxAttributes);
  std::vector<Attribute> kept;
  for (const PackedAttribute& a : PackedAttributes(bytes)) {
    if (isLibraryFieldName(a.key)) continue;
    const std::string_view key = texts.emplace_back(validCut(a.key, kMaxAttributeKeyBytes));
    if (a.value.type() != Type::Text) {
      kept.push_back({key, a.value});
      continue;
    }
    const std::string_view text =
        texts.emplace_back(validCut(a.value.text(), kMaxAttributeTextBytes));
    kept.push_back({key, AttributeValue(text)});
  }
  spare.assign(packedAttributeBytes(kept), '\0');
  (void)packAttributes(kept, spare.data());
  return spare;
}

}  // namespace zeplog::detail
