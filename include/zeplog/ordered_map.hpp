// A dictionary with text keys that keeps its keys in insertion order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace zeplog {

namespace detail {

// A short multiply-mix hash over 8-byte words for map keys and other short texts; std::hash's
// out-of-line byte loop costs more than the probing it serves. The last partial word is read
// with whole (possibly overlapping) loads: assembling it byte by byte and reading it back as
// a word stalls on store forwarding.
inline std::uint64_t hashKeyBytes(std::string_view key) noexcept {
  constexpr std::uint64_t k = 0x9E3779B97F4A7C15ULL;
  auto mix = [](std::uint64_t h, std::uint64_t w) {
    h = (h ^ w) * k;
    return h ^ (h >> 29);
  };
  auto load64 = [](const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
  };
  auto load32 = [](const char* p) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return std::uint64_t{w};
  };
  const char* p = key.data();
  const std::size_t size = key.size();
  std::uint64_t h = size * k;
  std::size_t n = size;
  for (; n >= 8; p += 8, n -= 8) h = mix(h, load64(p));
  if (n != 0) {
    std::uint64_t w;
    if (size >= 8) {
      w = load64(p + n - 8);  // overlaps bytes already mixed
    } else if (n >= 4) {
      w = load32(p) | (load32(p + n - 4) << 32);
    } else {
      w = std::uint64_t{static_cast<unsigned char>(p[0])} |
          (std::uint64_t{static_cast<unsigned char>(p[n / 2])} << 8) |
          (std::uint64_t{static_cast<unsigned char>(p[n - 1])} << 16);
    }
    h = mix(h, w);
  }
  return h ^ (h >> 32);
}

}  // namespace detail

// Dictionaries of the library (event fields, custom fields, JSON objects) enumerate their
// keys in the order they were first inserted; replacing a value keeps the key's place.
// Small maps are searched linearly; from kIndexThreshold entries on, an open-addressing
// index of entry positions makes lookups constant time, so a large JSON object with many
// keys is read in linear time.
template <typename V>
class OrderedMap {
 public:
  using value_type = std::pair<std::string, V>;
  using iterator = typename std::vector<value_type>::iterator;
  using const_iterator = typename std::vector<value_type>::const_iterator;

  OrderedMap() = default;
  OrderedMap(std::initializer_list<value_type> init) {
    for (const auto& kv : init) set(kv.first, kv.second);
  }

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  // Makes room for n entries; for a map that will be indexed, sizes the index for n too so
  // that filling it does not rebuild the index on the way.
  void reserve(std::size_t n) {
    entries_.reserve(n);
    if (n >= kIndexThreshold && index_.size() < indexCapacityFor(n)) rebuildIndex(n);
  }
  void clear() {
    entries_.clear();
    index_.clear();
  }

  iterator begin() noexcept { return entries_.begin(); }
  iterator end() noexcept { return entries_.end(); }
  const_iterator begin() const noexcept { return entries_.begin(); }
  const_iterator end() const noexcept { return entries_.end(); }

  bool contains(std::string_view key) const { return position(key) != kNone; }

  V* find(std::string_view key) {
    std::size_t p = position(key);
    return p == kNone ? nullptr : &entries_[p].second;
  }
  const V* find(std::string_view key) const {
    std::size_t p = position(key);
    return p == kNone ? nullptr : &entries_[p].second;
  }

  // Stores value under key: replaces the value of an existing key in place, or appends.
  template <typename T>
  V& set(std::string_view key, T&& value) {
    std::size_t p = position(key);
    if (p != kNone) {
      entries_[p].second = std::forward<T>(value);
      return entries_[p].second;
    }
    entries_.emplace_back(std::string(key), std::forward<T>(value));
    indexAppended();
    return entries_.back().second;
  }

  // Appends without looking for the key first; the caller knows it is new.
  template <typename T>
  V& appendNew(std::string key, T&& value) {
    entries_.emplace_back(std::move(key), std::forward<T>(value));
    indexAppended();
    return entries_.back().second;
  }

  // Appends key with a default value, without looking for the key first (the caller knows
  // it is new), and returns the value so the caller can fill it in place.
  V& appendNew(std::string_view key) {
    entries_.emplace_back(std::piecewise_construct, std::forward_as_tuple(key),
                          std::forward_as_tuple());
    indexAppended();
    return entries_.back().second;
  }

  // Removes key; true when it was there. Later keys keep their relative order.
  bool erase(std::string_view key) {
    std::size_t p = position(key);
    if (p == kNone) return false;
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(p));
    rebuildIndex(entries_.size());
    return true;
  }

  std::vector<std::string> keys() const {
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const auto& kv : entries_) out.push_back(kv.first);
    return out;
  }

  friend bool operator==(const OrderedMap& a, const OrderedMap& b) {
    if (a.size() != b.size()) return false;
    for (const auto& kv : a.entries_) {
      const V* other = b.find(kv.first);
      if (!other || !(*other == kv.second)) return false;
    }
    return true;
  }

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  static constexpr std::size_t kIndexThreshold = 16;
  static constexpr std::uint32_t kEmptySlot = 0xFFFFFFFFu;

  static std::size_t hashOf(std::string_view key) noexcept {
    return static_cast<std::size_t>(detail::hashKeyBytes(key));
  }

  // Index slots for n entries: at most a quarter full after a rebuild.
  static std::size_t indexCapacityFor(std::size_t n) noexcept {
    std::size_t cap = 64;
    while (cap < n * 4) cap <<= 1;
    return cap;
  }

  std::size_t position(std::string_view key) const {
    if (index_.empty()) {
      for (std::size_t i = 0; i < entries_.size(); ++i)
        if (entries_[i].first == key) return i;
      return kNone;
    }
    std::size_t mask = index_.size() - 1;
    for (std::size_t s = hashOf(key) & mask;; s = (s + 1) & mask) {
      std::uint32_t e = index_[s];
      if (e == kEmptySlot) return kNone;
      if (entries_[e].first == key) return e;
    }
  }

  void insertSlot(std::uint32_t entry) {
    std::size_t mask = index_.size() - 1;
    std::size_t s = hashOf(entries_[entry].first) & mask;
    while (index_[s] != kEmptySlot) s = (s + 1) & mask;
    index_[s] = entry;
  }

  void indexAppended() {
    if (index_.empty()) {
      if (entries_.size() >= kIndexThreshold) rebuildIndex(entries_.size());
      return;
    }
    // Keep the table at most half full so probe runs stay short.
    if (entries_.size() * 2 > index_.size()) {
      rebuildIndex(entries_.size());
    } else {
      insertSlot(static_cast<std::uint32_t>(entries_.size() - 1));
    }
  }

  // Rebuilds the index with room for at least `room` entries, or drops it when the map is
  // small and nothing larger is expected.
  void rebuildIndex(std::size_t room) {
    index_.clear();
    if (room < kIndexThreshold) return;
    index_.assign(indexCapacityFor(room), kEmptySlot);
    for (std::size_t i = 0; i < entries_.size(); ++i) insertSlot(static_cast<std::uint32_t>(i));
  }

  std::vector<value_type> entries_;
  std::vector<std::uint32_t> index_;  // empty while the map is small and not reserved large
};

}  // namespace zeplog
