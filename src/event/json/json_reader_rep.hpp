// The JSON reader's state and rules (kstCJSONDeserializer::Rep), shared by the files that
// define them: json_reader_grammar.cpp (values, objects, arrays, errors),
// json_reader_strings.cpp and json_reader_numbers.cpp. Internal to the reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "zeplog/json_reader.hpp"

namespace zeplog {
namespace json_reader_parts {

constexpr const char* kNoDataMessage = "Have no data to scan.";
constexpr const char* kExhaustedMessage = "Could not read JSON object, input exhausted.";
constexpr const char* kNotValidCharacterMessage =
    "Could not scan object. Character not a valid JSON character.";
constexpr const char* kFragmentsMessage = "Scanning fragments not allowed.";
constexpr const char* kNotAllConsumedMessage = "Did not consume all data.";
constexpr const char* kCouldNotAllocateMessage =
    "Could not scan dictionary. Could not allow object.";
constexpr const char* kDictionaryStartMessage =
    "Could not scan dictionary. Dictionary that does not start with '{' character.";
constexpr const char* kDictionaryKeyMessage = "Could not scan dictionary. Failed to scan a key.";
constexpr const char* kDictionaryColonMessage =
    "Could not scan dictionary. Key was not terminated with a ':' character.";
constexpr const char* kDictionaryValueMessage =
    "Could not scan dictionary. Failed to scan a value.";
constexpr const char* kDictionaryDelimiterMessage =
    "kJSONDeserializerErrorCode_DictionaryKeyValuePairNoDelimiter";
constexpr const char* kArrayStartMessage =
    "Could not scan array. Array not started by a '[' character.";
constexpr const char* kArrayValueMessage = "Could not scan array. Could not scan a value.";
constexpr const char* kArrayEndMessage =
    "Could not scan array. Array not terminated by a ']' character.";
constexpr const char* kStringStartMessage =
    "Could not scan string constant. String not started by a '\"' character.";
constexpr const char* kStringEscapeMessage = "Could not scan string constant. Unknown escape code.";
constexpr const char* kStringEndMessage =
    "Could not scan string constant. No terminating double quote character.";
constexpr const char* kStringUnicodeMessage = "Could not decode string escape code.";
constexpr const char* kStringCreateMessage = "Could not create string.";
constexpr const char* kNumberMessage = "Could not scan number constant.";
// The interning table never grows beyond this many slots.
constexpr std::size_t kMaxInternSlots = 4096;

inline bool isWhite(char c) {
  // space, tab, line feed, vertical tab, form feed, carriage return; nothing else.
  return c == ' ' || (c >= '\t' && c <= '\r');
}

inline bool isDigit(char c) { return c >= '0' && c <= '9'; }

inline bool isNumberByte(char c) {
  return isDigit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// The interning table: hash to an already validated string. Direct-mapped with a bounded
// number of slots, so a new string whose slot is taken replaces the earlier entry and the
// table never grows with the number of distinct strings a long-lived reader sees.
class StringTable {
 public:
  // Makes room for an input of inputSize bytes (within the bound).
  void prepare(std::size_t inputSize) {
    std::size_t want = 64;
    while (want < kMaxInternSlots && want * 32 < inputSize) want <<= 1;
    if (want <= slots_.size()) return;
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.resize(want);
    for (Slot& s : old)
      if (s.used) slots_[s.hash & (want - 1)] = std::move(s);
  }

  const std::string* find(std::uint64_t hash, std::string_view bytes) const {
    const Slot& s = slots_[hash & (slots_.size() - 1)];
    return s.used && s.hash == hash && s.text == bytes ? &s.text : nullptr;
  }

  void store(std::uint64_t hash, std::string_view bytes) {
    Slot& s = slots_[hash & (slots_.size() - 1)];
    s.hash = hash;
    s.text.assign(bytes);
    s.used = true;
  }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    std::string text;
    bool used = false;
  };
  std::vector<Slot> slots_;
};

// A string as scanned: its bytes (in the input, or in the scratch buffer when escapes were
// resolved) and whether a byte of 0x80 or above came from the input.
struct ScannedString {
  std::string_view bytes;
  bool ascii = true;
};

// The shared-key slot of one array: the first object element, whose key order guides the
// objects that follow it. Within a guided object, the guide's member value guides the
// member object of the same key, so like objects nested in like objects share it too.
struct KeyGuide {
  const json::Object* first = nullptr;
};

// Builds a value in `slot`, which every rule receives as a fresh json::Null: constructing in
// place spares a temporary and a variant move per value. Null holds no resources, so its
// storage is simply reused.
template <typename... Args>
inline void buildValue(json::Value& slot, Args&&... args) {
  ::new (static_cast<void*>(&slot)) json::Value(std::forward<Args>(args)...);
}

using Member = std::pair<std::string, json::Value>;

// What reading one object keeps across its members.
struct ObjectScan {
  const char* start;              // where the object began: a fault points there
  const json::Object* guideKeys;  // the guide's keys, or null
  bool allGuided;                 // every key so far was the guide's next one
  std::vector<Member>* members;   // where the members go
  std::size_t base;               // the object's first entry in *members
};

// Cuts a stack back to the size it had when a container rule began, whether the rule ends
// with a container made from the entries above the mark or with a failure.
template <typename T>
class StackMark {
 public:
  StackMark(std::vector<T>& stack, std::size_t base) : stack_(stack), base_(base) {}
  ~StackMark() { stack_.erase(stack_.begin() + static_cast<std::ptrdiff_t>(base_), stack_.end()); }
  StackMark(const StackMark&) = delete;
  StackMark& operator=(const StackMark&) = delete;

 private:
  std::vector<T>& stack_;
  std::size_t base_;
};

// Keeps the nesting depth while a container rule runs.
class DepthScope {
 public:
  explicit DepthScope(int& depth) : depth_(depth) { ++depth_; }
  ~DepthScope() { --depth_; }
  DepthScope(const DepthScope&) = delete;
  DepthScope& operator=(const DepthScope&) = delete;

 private:
  int& depth_;
};

}  // namespace json_reader_parts

using namespace json_reader_parts;  // the reader's files only

// The reader's state and its rules. Every rule returns false after recording its error
// with fail(); the enclosing rule may record its own on top, so the last one stands.
class kstCJSONDeserializer::Rep {
 public:
  // One input as the public operations receive it.
  struct Input {
    const std::shared_ptr<const std::string>* shared = nullptr;  // identity, when given
    std::string_view bytes;
    bool absent = false;
  };

  template <typename Rule>
  bool run(const Input& input, Error* error, Rule rule) {
    errCode_ = 0;
    errMessage_ = nullptr;
    bool ok = setInput(input) && rule();
    releaseLargeStacks();
    if (!ok && error) *error = makeError();
    if (hasInput_) location_ = static_cast<std::uint64_t>(current_ - start_);
    if (!data_) {  // a borrowed input is gone after the call
      start_ = current_ = end_ = nullptr;
      hasInput_ = false;
    }
    return ok;
  }

  bool readTop(json::Value& out);

  bool readDictionary(json::Value& out) { return parseObject(out, nullptr); }
  bool readArray(json::Value& out) { return parseArray(out); }

  std::optional<json::Value> nullObject_{json::Value(json::Null{})};
  std::uint64_t options_ = kJSONDeserializationOptions_MutableContainers;
  std::uint64_t location_ = 0;

 private:
  bool fail(std::int64_t code, const char* message) {
    errCode_ = code;
    errMessage_ = message;
    errOffset_ = hasInput_ ? static_cast<std::uint64_t>(current_ - start_) : location_;
    return false;
  }

  // A long-lived reader keeps the room of its entry stacks for the next input, but not the
  // room a single very large document needed.
  void releaseLargeStacks();

  bool setInput(const Input& input);

  // Compact text has no white space between tokens, so the first byte is checked alone;
  // indented text has long runs, which are passed 16 bytes at a time.
  void skipWhite() {
    if (current_ == end_ || !isWhite(*current_)) return;
#if defined(__SSE2__)
    const __m128i space = _mm_set1_epi8(' ');
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i four = _mm_set1_epi8(4);  // tab to carriage return: '\t' + 0..4
    while (end_ - current_ >= 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(current_));
      __m128i t = _mm_sub_epi8(v, tab);
      __m128i white =
          _mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(_mm_min_epu8(t, four), t));
      unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(white)) & 0xFFFFu;
      if (other != 0) {
        current_ += __builtin_ctz(other);
        return;
      }
      current_ += 16;
    }
#endif
    while (current_ < end_ && isWhite(*current_)) ++current_;
  }

  bool atByte(char c) const { return current_ < end_ && *current_ == c; }

  bool literal(const char* text, std::size_t n) const {
    return static_cast<std::size_t>(end_ - current_) >= n && std::memcmp(current_, text, n) == 0;
  }

  // Reads one value into out, which is json::Null on entry.
  bool parseValue(json::Value& out, KeyGuide* guide);

  bool parseObject(json::Value& out, KeyGuide* guide);
  // Reads one `"key": value` member into scan.members; false, with the error set, on a fault.
  bool parseMember(ObjectScan& scan);
  // True when `key` is the guide's next key; `member` then guides the member's value.
  bool guidedKey(const ObjectScan& scan, std::string_view key, KeyGuide& member) const;
  // Makes the object of a completed member list: `own` (a guided object's), or the member
  // stack's entries from `base` on.
  bool finishObject(json::Value& out, KeyGuide* guide, std::vector<Member>* own, std::size_t base,
                    bool allGuided);

  bool parseArray(json::Value& out);

  bool failAt(const char* position, std::int64_t code, const char* message) {
    current_ = position;
    return fail(code, message);
  }

  bool parseStringValue(json::Value& out);

  // The string rule up to the closing quotation mark: escapes resolved, bytes not yet
  // checked. A string without escapes is left in the input; one with escapes is assembled
  // in the scratch buffer.
  bool scanString(ScannedString& out);

  // After "\u": four hex digits, and for a high surrogate a second escape with the low one.
  bool appendUnicodeEscape();

  // Checks the scanned bytes as UTF-8; ASCII needs no check. A short non-ASCII string goes
  // through the interning table: a hit on an equal, already checked string skips the check.
  // The caller then makes the string from the scanned bytes, which equal the interned ones.
  bool validString(const ScannedString& s);

  // Numbers are read in one pass over their digits. Integers and most doubles are built
  // from the digits gathered on the way; only a double whose digits or exponent are out of
  // the exact fast paths' reach is handed to from_chars, which reads the token again.
  bool parseNumber(json::Value& out);

  // The magnitude integer.fraction × 10^±exponent, correctly rounded, when it can be had
  // from one exact operation: the digits as an integer of at most 2^53 and a power of ten
  // of at most 10^22, both exact doubles (a single rounding); or, where long double has a
  // 64-bit significand, digits below 2^63 and a power up to 10^27, both exact there, with
  // the one rounding to 64 bits checked not to fall next to a halfway point between two
  // doubles, where rounding again to 53 bits could go the wrong way. False otherwise.
  static bool exactDouble(std::uint64_t integer, std::uint64_t fraction, int fractionDigits,
                          std::uint64_t exponent, bool exponentNegative, double& v);

  bool parseDecimal(const char* token, const char* tokenEnd, json::Value& out);

  Error makeError() const;

  // The input: the held buffer (given as shared, or converted from UTF-16/32), or null while
  // the caller's own bytes are read.
  std::shared_ptr<const std::string> data_;
  const char* start_ = nullptr;
  const char* current_ = nullptr;
  const char* end_ = nullptr;
  bool hasInput_ = false;  // start_, current_ and end_ describe an input (maybe empty)
  std::string scratch_;
  bool scratchMade_ = false;
  // Entries of the containers being read, innermost last; kept across inputs so that their
  // room is reused (see releaseLargeStacks).
  std::vector<json::Value> elements_;
  std::vector<Member> members_;
  StringTable strings_;
  int depth_ = 0;
  std::int64_t errCode_ = 0;
  const char* errMessage_ = nullptr;
  std::uint64_t errOffset_ = 0;
};

}  // namespace zeplog
