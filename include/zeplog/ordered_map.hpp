// A dictionary with text keys that keeps its keys in insertion order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "zeplog/export.hpp"

namespace zeplog {

namespace detail {

// A short multiply-mix hash over 8-byte words for map keys and other short texts. The seed
// enters the starting state, so keys crafted to share one hash under one seed are spread
// under another.
ZEPLOG_API std::uint64_t hashKeyBytes(std::string_view key, std::uint64_t seed = 0) noexcept;

// The process's key hash seed, drawn at first use from the kernel's random source, so that
// keys cannot be chosen in advance to fall into one probe chain of every map. Each map takes
// the seed when it builds its index and keeps it.
ZEPLOG_API std::uint64_t keyHashSeed() noexcept;

// The key hash OrderedMap uses unless told otherwise.
struct KeyHash {
  std::uint64_t operator()(std::string_view key, std::uint64_t seed) const noexcept {
    return hashKeyBytes(key, seed);
  }
};

}  // namespace detail

// Dictionaries of the library (event fields, custom fields, JSON objects) enumerate their
// keys in the order they were first inserted; replacing a value keeps the key's place.
// Small maps are searched linearly; from kIndexThreshold entries on, an open-addressing
// index of entry positions (linear probing, keyed by a per-process seeded hash) makes
// lookups constant time. No operation rebuilds the index per key: a large object is read,
// and many keys are removed (eraseIf), in linear time; erase() of one key costs one pass over
// the entries after it and over the index, without hashing them again.
//
// Hash: a callable (std::string_view key, std::uint64_t seed) -> std::uint64_t.
template <typename V, typename Hash = detail::KeyHash>
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

  // Replaces the contents with the entries of [first, last), moved in, in order, as a run
  // of set() calls would leave them: a key met again replaces the earlier value and keeps
  // the earlier place. The entries are stored in one allocation and the index is built
  // once. keysDistinct: the caller knows no key repeats, so keys are not compared.
  template <typename It>
  void assignMoved(It first, It last, bool keysDistinct) {
    clear();
    const auto n = static_cast<std::size_t>(last - first);
    entries_.reserve(n);
    if (n < kIndexThreshold) {
      for (; first != last; ++first) {
        std::size_t p = keysDistinct ? kNone : position(first->first);
        if (p == kNone) {
          entries_.push_back(std::move(*first));
        } else {
          entries_[p].second = std::move(first->second);
        }
      }
      return;
    }
    if (keysDistinct) {
      for (; first != last; ++first) entries_.push_back(std::move(*first));
      rebuildIndex(n);
      return;
    }
    startIndex(n);
    const std::size_t mask = index_.size() - 1;
    for (; first != last; ++first) {
      std::size_t s = hashOf(first->first) & mask;
      for (; index_[s] != kEmptySlot; s = (s + 1) & mask) {
        if (entries_[index_[s]].first == first->first) break;
      }
      if (index_[s] != kEmptySlot) {
        entries_[index_[s]].second = std::move(first->second);
      } else {
        index_[s] = static_cast<std::uint32_t>(entries_.size());
        entries_.push_back(std::move(*first));
      }
    }
  }

  // The same for entries already in a vector, which the map takes over as its storage:
  // nothing is moved unless a key repeats.
  void assignEntries(std::vector<value_type>&& entries, bool keysDistinct) {
    index_.clear();
    entries_ = std::move(entries);
    const std::size_t n = entries_.size();
    if (keysDistinct) {
      if (n >= kIndexThreshold) rebuildIndex(n);
      return;
    }
    // Compacts in place: entry r is kept at w, or merged into the earlier entry of its key.
    std::size_t w = 0;
    if (n < kIndexThreshold) {
      for (std::size_t r = 0; r < n; ++r) {
        std::size_t p = 0;
        while (p < w && entries_[p].first != entries_[r].first) ++p;
        if (p < w) {
          entries_[p].second = std::move(entries_[r].second);
        } else {
          if (w != r) entries_[w] = std::move(entries_[r]);
          ++w;
        }
      }
      entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(w), entries_.end());
      return;
    }
    startIndex(n);
    const std::size_t mask = index_.size() - 1;
    for (std::size_t r = 0; r < n; ++r) {
      std::size_t s = hashOf(entries_[r].first) & mask;
      for (; index_[s] != kEmptySlot; s = (s + 1) & mask) {
        if (entries_[index_[s]].first == entries_[r].first) break;
      }
      if (index_[s] != kEmptySlot) {
        entries_[index_[s]].second = std::move(entries_[r].second);
      } else {
        if (w != r) entries_[w] = std::move(entries_[r]);
        index_[s] = static_cast<std::uint32_t>(w++);
      }
    }
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(w), entries_.end());
  }

  // Removes key; true when it was there. Later keys keep their relative order.
  bool erase(std::string_view key) {
    if (index_.empty()) {
      std::size_t p = position(key);
      if (p == kNone) return false;
      entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(p));
      return true;
    }
    const std::size_t mask = index_.size() - 1;
    std::size_t s = hashOf(key) & mask;
    for (; index_[s] != kEmptySlot; s = (s + 1) & mask) {
      if (entries_[index_[s]].first == key) break;
    }
    if (index_[s] == kEmptySlot) return false;
    const std::uint32_t p = index_[s];
    removeSlot(s);
    // Entries after p move down one place; so do their positions in the index.
    if (p + 1u != entries_.size()) {
      for (std::uint32_t& e : index_) e -= (e > p && e != kEmptySlot) ? 1u : 0u;
    }
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(p));
    return true;
  }

  // Removes every entry for which pred(key, value) is true, in one pass that asks pred once
  // per entry, in order; the others keep their order. Returns how many were removed.
  template <typename Pred>
  std::size_t eraseIf(Pred pred) {
    auto kept = std::remove_if(entries_.begin(), entries_.end(),
                               [&](const value_type& kv) { return pred(kv.first, kv.second); });
    const auto removed = static_cast<std::size_t>(entries_.end() - kept);
    if (removed == 0) return 0;
    entries_.erase(kept, entries_.end());
    if (!index_.empty()) rebuildIndex(entries_.size());
    return removed;
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

  std::size_t hashOf(std::string_view key) const noexcept {
    return static_cast<std::size_t>(Hash{}(key, seed_));
  }

  // Index slots for n entries: at most half full.
  static std::size_t indexCapacityFor(std::size_t n) noexcept {
    std::size_t cap = 32;
    while (cap < n * 2) cap <<= 1;
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

  // Empties slot s and moves later members of its probe run back, so every entry stays
  // reachable from its home slot without tombstones.
  void removeSlot(std::size_t s) {
    const std::size_t mask = index_.size() - 1;
    std::size_t hole = s;
    for (std::size_t j = (s + 1) & mask; index_[j] != kEmptySlot; j = (j + 1) & mask) {
      std::size_t home = hashOf(entries_[index_[j]].first) & mask;
      // The entry may fill the hole when the hole lies on its way from home to j.
      if (((j - home) & mask) >= ((j - hole) & mask)) {
        index_[hole] = index_[j];
        hole = j;
      }
    }
    index_[hole] = kEmptySlot;
  }

  void indexAppended() {
    if (index_.empty()) {
      if (entries_.size() >= kIndexThreshold) rebuildIndex(entries_.size());
      return;
    }
    // Keep the table at most half full so probe runs stay short.
    if (entries_.size() * 2 > index_.size()) {
      rebuildIndex(entries_.size() * 2);
    } else {
      insertSlot(static_cast<std::uint32_t>(entries_.size() - 1));
    }
  }

  // An empty index with room for n entries, hashed with the process's seed.
  void startIndex(std::size_t n) {
    seed_ = detail::keyHashSeed();
    index_.assign(indexCapacityFor(n), kEmptySlot);
  }

  // Rebuilds the index with room for at least `room` entries, or drops it when the map is
  // small and nothing larger is expected.
  void rebuildIndex(std::size_t room) {
    index_.clear();
    if (room < kIndexThreshold) return;
    startIndex(room);
    for (std::size_t i = 0; i < entries_.size(); ++i) insertSlot(static_cast<std::uint32_t>(i));
  }

  std::vector<value_type> entries_;
  std::vector<std::uint32_t> index_;  // empty while the map is small and not reserved large
  std::uint64_t seed_ = 0;            // the hash seed the index was built with
};

}  // namespace zeplog
