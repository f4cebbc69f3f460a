// A dictionary with text keys that keeps its keys in insertion order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zeplog {

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
  void reserve(std::size_t n) { entries_.reserve(n); }
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

  // Removes key; true when it was there. Later keys keep their relative order.
  bool erase(std::string_view key) {
    std::size_t p = position(key);
    if (p == kNone) return false;
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(p));
    rebuildIndex();
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

  static std::size_t hashOf(std::string_view key) { return std::hash<std::string_view>{}(key); }

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
    if (entries_.size() < kIndexThreshold) return;
    // Keep the table at most half full so probe runs stay short.
    if (index_.empty() || entries_.size() * 2 > index_.size()) {
      rebuildIndex();
    } else {
      insertSlot(static_cast<std::uint32_t>(entries_.size() - 1));
    }
  }

  void rebuildIndex() {
    index_.clear();
    if (entries_.size() < kIndexThreshold) return;
    std::size_t cap = 64;
    while (cap < entries_.size() * 4) cap <<= 1;
    index_.assign(cap, kEmptySlot);
    for (std::size_t i = 0; i < entries_.size(); ++i) insertSlot(static_cast<std::uint32_t>(i));
  }

  std::vector<value_type> entries_;
  std::vector<std::uint32_t> index_;  // empty while the map is small
};

}  // namespace zeplog
