#include "zeplog/json_reader.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <new>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/utf8.hpp"
#include "event/json/utf_convert.hpp"

namespace zeplog {

const char* const kstkJSONDeserializerErrorDomain = "CJSONDeserializerErrorDomain";

namespace {

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

// Strings shorter than this are looked up in the interning table.
constexpr std::size_t kInternLimit = 80;
// The interning table never grows beyond this many slots.
constexpr std::size_t kMaxInternSlots = 4096;
// Room the scratch buffer is made with.
constexpr std::size_t kScratchInitialSize = 8192;
// The snippet shows up to this many bytes on each side of the position.
constexpr std::ptrdiff_t kSnippetHalf = 20;

inline bool isWhite(char c) {
  // space, tab, line feed, vertical tab, form feed, carriage return; nothing else.
  return c == ' ' || (c >= '\t' && c <= '\r');
}

inline bool isDigit(char c) { return c >= '0' && c <= '9'; }

inline bool isNumberByte(char c) {
  return isDigit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

inline int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the four bytes of a u escape. A zero byte ends the digits early; any other byte that
// is not a hex digit fails.
bool readHex4(const char* p, std::uint32_t& value) {
  value = 0;
  for (int i = 0; i < 4; ++i) {
    if (p[i] == '\0') break;
    int d = hexValue(p[i]);
    if (d < 0) return false;
    value = value * 16 + static_cast<std::uint32_t>(d);
  }
  return true;
}

// Position of the first quotation mark or backslash in [p, end), or end. high collects the
// top bits of the bytes passed over, so that ASCII-only strings can skip the UTF-8 check.
// Never reads at or beyond end.
inline const char* findQuoteOrBackslash(const char* p, const char* end, unsigned& high) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  while (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    unsigned hits = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash))));
    unsigned tops = static_cast<unsigned>(_mm_movemask_epi8(v));
    if (hits != 0) {
      unsigned i = static_cast<unsigned>(__builtin_ctz(hits));
      high |= tops & ((1u << i) - 1u);
      return p + i;
    }
    high |= tops;
    p += 16;
  }
#endif
  while (p < end && *p != '"' && *p != '\\') {
    high |= static_cast<unsigned char>(*p) & 0x80u;
    ++p;
  }
  return p;
}

std::uint64_t hashBytes(std::string_view s) { return detail::hashKeyBytes(s); }

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

}  // namespace

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

  bool readTop(json::Value& out) {
    if (!parseValue(out, nullptr)) return false;
    if (options_ & kJSONDeserializationOptions_AllowFragments) {
      // A top-level null is the null object; with the null object absent it stays null
      // rather than becoming a result that is neither a value nor an error.
      if (out.isNull() && nullObject_) out = *nullObject_;
    } else if (!out.isArray() && !out.isObject()) {
      return fail(kJSONDeserializerErrorCode_ScanningFragmentsNotAllowed, kFragmentsMessage);
    }
    skipWhite();
    if (current_ != end_) {
      return fail(kJSONDeserializerErrorCode_DidNotConsumeAllData, kNotAllConsumedMessage);
    }
    return true;
  }

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
  void releaseLargeStacks() {
    constexpr std::size_t kKeepBytes = std::size_t{1} << 20;
    if (elements_.capacity() * sizeof(json::Value) > kKeepBytes) {
      std::vector<json::Value>().swap(elements_);
    }
    if (members_.capacity() * sizeof(Member) > kKeepBytes) std::vector<Member>().swap(members_);
  }

  bool setInput(const Input& input) {
    if (input.absent || (input.shared && *input.shared == data_ && data_)) {
      return fail(kJSONDeserializerErrorCode_NothingToScan, kNoDataMessage);
    }
    std::string_view bytes = input.bytes;
    detail::DetectedEncoding enc = detail::detectJSONInputEncoding(bytes);
    if (enc.encoding != detail::JSONInputEncoding::kUtf8) {
      std::optional<std::string> converted = detail::convertToUtf8(bytes, enc);
      if (!converted) {
        // Report against an empty input, as for "": the previous document, still held, is
        // not this input and must not show in the error's snippet or location.
        static constexpr char kNothing[] = "";
        data_.reset();
        start_ = current_ = end_ = kNothing;
        hasInput_ = true;
        return fail(kJSONDeserializerErrorCode_CouldNotDecodeData, nullptr);
      }
      data_ = std::make_shared<const std::string>(std::move(*converted));
      bytes = *data_;
    } else if (input.shared) {
      data_ = *input.shared;
    } else {
      data_.reset();
    }
    start_ = current_ = bytes.data();
    end_ = bytes.data() + bytes.size();
    hasInput_ = true;
    scratch_ = std::string();
    scratchMade_ = false;
    strings_.prepare(bytes.size());
    return true;
  }

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
  bool parseValue(json::Value& out, KeyGuide* guide) {
    skipWhite();
    if (current_ == end_) {
      return fail(kJSONDeserializerErrorCode_CouldNotScanObject, kExhaustedMessage);
    }
    switch (*current_) {
      case '{':
        return parseObject(out, guide);
      case '[':
        return parseArray(out);
      case '"':
      case '\'':
        return parseStringValue(out);
      case '-':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        return parseNumber(out);
      case 't':
        if (!literal("true", 4)) break;
        buildValue(out, true);
        current_ += 4;
        return true;
      case 'f':
        if (!literal("false", 5)) break;
        buildValue(out, false);
        current_ += 5;
        return true;
      case 'n':
        if (!literal("null", 4)) break;
        if (nullObject_) out = *nullObject_;
        current_ += 4;
        return true;
      default:
        break;
    }
    return fail(kJSONDeserializerErrorCode_CouldNotScanObject, kNotValidCharacterMessage);
  }

  bool parseObject(json::Value& out, KeyGuide* guide) {
    const char* objectStart = current_;
    skipWhite();
    if (!atByte('{')) {
      return fail(kJSONDeserializerErrorCode_DictionaryStartCharacterMissing,
                  kDictionaryStartMessage);
    }
    if (depth_ >= kMaxNesting) {
      current_ = objectStart;
      return fail(kJSONDeserializerErrorCode_DictionaryValueScanFailed, kDictionaryValueMessage);
    }
    ++current_;
    DepthScope depth(depth_);
    // While the keys so far equal the guide's first keys, a key equal to the guide's next
    // one is new to this object (the guide's keys are distinct): no UTF-8 check, and no
    // key comparison when the object is assembled.
    const json::Object* guideKeys = guide ? guide->first : nullptr;
    bool allGuided = guideKeys != nullptr;
    const bool dropNulls = !nullObject_;
    // A guided object is expected to have the guide's size: its members are read straight
    // into their final storage, allocated at that size. Any other object's members are
    // gathered on the reader's member stack and moved into the object in one step when it
    // is complete. Either way the object is allocated once and its key index built once.
    std::vector<Member> own;
    if (guideKeys) own.reserve(guideKeys->size());
    std::vector<Member>& members = guideKeys ? own : members_;
    const std::size_t base = members.size();
    StackMark<Member> mark(members, base);

    for (;;) {
      skipWhite();
      if (atByte('}')) break;
      ScannedString key;
      if (!scanString(key))
        return failAt(objectStart, kJSONDeserializerErrorCode_DictionaryKeyScanFailed,
                      kDictionaryKeyMessage);
      const std::size_t count = members.size() - base;
      bool guided = false;
      KeyGuide member;  // the guide's value under this key guides a nested object
      if (allGuided && count < guideKeys->size()) {
        const auto& next = *(guideKeys->begin() + static_cast<std::ptrdiff_t>(count));
        if (next.first == key.bytes) {
          guided = true;
          if (next.second.isObject()) member.first = next.second.asObject().get();
        }
      }
      if (!guided && !validString(key)) {
        return failAt(objectStart, kJSONDeserializerErrorCode_DictionaryKeyScanFailed,
                      kDictionaryKeyMessage);
      }
      skipWhite();
      if (!atByte(':')) {
        return failAt(objectStart, kJSONDeserializerErrorCode_DictionaryKeyNotTerminated,
                      kDictionaryColonMessage);
      }
      ++current_;
      // The key is stored before its value is read: its bytes may sit in the scratch
      // buffer, which the value reuses. A container value is read aside, since reading it
      // may grow the member stack; any other value is read in place.
      members.emplace_back(std::piecewise_construct, std::forward_as_tuple(key.bytes),
                           std::forward_as_tuple());
      skipWhite();
      bool ok;
      if (current_ < end_ && (*current_ == '{' || *current_ == '[')) {
        json::Value value;
        ok = parseValue(value, guided ? &member : nullptr);
        members.back().second = std::move(value);
      } else {
        ok = parseValue(members.back().second, nullptr);
      }
      if (!ok) {
        return failAt(objectStart, kJSONDeserializerErrorCode_DictionaryValueScanFailed,
                      kDictionaryValueMessage);
      }
      // A null member is left out when nulls have no object; it changes nothing either,
      // repeated key or not.
      if (dropNulls && members.back().second.isNull()) {
        members.pop_back();
      } else if (!guided) {
        allGuided = false;
      }
      skipWhite();
      if (atByte(',')) {
        ++current_;
        skipWhite();
        if (atByte('}')) break;
        continue;
      }
      if (!atByte('}')) {
        return failAt(objectStart, kJSONDeserializerErrorCode_DictionaryKeyValuePairNoDelimiter,
                      kDictionaryDelimiterMessage);
      }
      break;
    }
    ++current_;
    std::shared_ptr<json::Object> dict;
    try {
      dict = std::make_shared<json::Object>();
    } catch (const std::bad_alloc&) {
      return fail(kJSONDeserializerErrorCode_CouldNotAllocateObject, kCouldNotAllocateMessage);
    }
    // A repeated key keeps its first place and takes its last value.
    if (guideKeys) {
      dict->assignEntries(std::move(own), allGuided);
    } else {
      dict->assignMoved(members_.begin() + static_cast<std::ptrdiff_t>(base), members_.end(),
                        allGuided);
    }
    if (guide && !guide->first) guide->first = dict.get();
    buildValue(out, std::move(dict));
    return true;
  }

  bool parseArray(json::Value& out) {
    const char* arrayStart = current_;
    skipWhite();
    if (!atByte('[')) {
      return fail(kJSONDeserializerErrorCode_ArrayStartCharacterMissing, kArrayStartMessage);
    }
    if (depth_ >= kMaxNesting) {
      current_ = arrayStart;
      return fail(kJSONDeserializerErrorCode_ArrayValueScanFailed, kArrayValueMessage);
    }
    ++current_;
    DepthScope depth(depth_);
    // Elements are gathered on the reader's element stack and moved into an array of their
    // final size at the end. A container element is read aside (reading it grows the
    // stack); any other element is read in place. The guide's object is shared, so it
    // stays where it is while the element holding it moves.
    const std::size_t base = elements_.size();
    StackMark<json::Value> mark(elements_, base);
    KeyGuide guide;
    skipWhite();
    while (!atByte(']')) {
      bool ok;
      if (current_ < end_ && (*current_ == '{' || *current_ == '[')) {
        json::Value value;
        ok = parseValue(value, &guide);
        elements_.push_back(std::move(value));
      } else {
        elements_.emplace_back();
        ok = parseValue(elements_.back(), &guide);
      }
      if (!ok) {
        return failAt(arrayStart, kJSONDeserializerErrorCode_ArrayValueScanFailed,
                      kArrayValueMessage);
      }
      skipWhite();
      if (atByte(',')) {
        ++current_;
        skipWhite();
      } else if (!atByte(']')) {
        return failAt(arrayStart, kJSONDeserializerErrorCode_ArrayNotTerminated, kArrayEndMessage);
      }
    }
    ++current_;
    buildValue(out,
               std::make_shared<json::Array>(
                   std::make_move_iterator(elements_.begin() + static_cast<std::ptrdiff_t>(base)),
                   std::make_move_iterator(elements_.end())));
    return true;
  }

  bool failAt(const char* position, std::int64_t code, const char* message) {
    current_ = position;
    return fail(code, message);
  }

  bool parseStringValue(json::Value& out) {
    ScannedString s;
    if (!scanString(s) || !validString(s)) return false;
    buildValue(out, s.bytes);
    return true;
  }

  // The string rule up to the closing quotation mark: escapes resolved, bytes not yet
  // checked. A string without escapes is left in the input; one with escapes is assembled
  // in the scratch buffer.
  bool scanString(ScannedString& out) {
    if (!atByte('"')) {
      return fail(kJSONDeserializerErrorCode_StringNotStartedWithBackslash, kStringStartMessage);
    }
    const char* open = current_;
    const char* run = ++current_;
    unsigned high = 0;
    const char* p = findQuoteOrBackslash(run, end_, high);
    if (p < end_ && *p == '"') {
      out.bytes = std::string_view(run, static_cast<std::size_t>(p - run));
      out.ascii = high == 0;
      current_ = p + 1;
      return true;
    }
    if (!scratchMade_) {
      scratch_.reserve(kScratchInitialSize);
      scratchMade_ = true;
    }
    scratch_.clear();
    for (;;) {
      scratch_.append(run, p);
      if (p == end_) {
        current_ = end_;
        return fail(kJSONDeserializerErrorCode_StringNotTerminated, kStringEndMessage);
      }
      if (*p == '"') break;
      current_ = p + 1;  // past the backslash
      if (current_ == end_) {
        return fail(kJSONDeserializerErrorCode_StringNotTerminated, kStringEndMessage);
      }
      char e = *current_++;
      switch (e) {
        case '"':
        case '/':
        case '\\':
          scratch_.push_back(e);
          break;
        case 'b':
          scratch_.push_back('\b');
          break;
        case 'f':
          scratch_.push_back('\f');
          break;
        case 'n':
          scratch_.push_back('\n');
          break;
        case 'r':
          scratch_.push_back('\r');
          break;
        case 't':
          scratch_.push_back('\t');
          break;
        case 'u':
          if (!appendUnicodeEscape()) return false;
          break;
        default:
          if (!(options_ & kJSONDeserializationOptions_LaxEscapeCodes)) {
            current_ = open;
            return fail(kJSONDeserializerErrorCode_StringUnknownEscapeCode, kStringEscapeMessage);
          }
          high |= static_cast<unsigned char>(e) & 0x80u;  // a raw byte: must be checked
          scratch_.push_back(e);
          break;
      }
      run = current_;
      p = findQuoteOrBackslash(run, end_, high);
    }
    current_ = p + 1;
    out.bytes = scratch_;
    out.ascii = high == 0;
    return true;
  }

  // After "\u": four hex digits, and for a high surrogate a second escape with the low one.
  bool appendUnicodeEscape() {
    if (end_ - current_ < 4) {
      return fail(kJSONDeserializerErrorCode_StringBadEscaping, kStringUnicodeMessage);
    }
    std::uint32_t cp = 0;
    bool ok = readHex4(current_, cp);
    current_ += 4;
    if (!ok || (cp >= 0xDC00 && cp <= 0xDFFF)) {
      return fail(kJSONDeserializerErrorCode_StringBadEscaping, kStringUnicodeMessage);
    }
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (end_ - current_ < 6 || current_[0] != '\\' || current_[1] != 'u') {
        return fail(kJSONDeserializerErrorCode_StringBadEscaping, kStringUnicodeMessage);
      }
      current_ += 2;
      std::uint32_t low = 0;
      ok = readHex4(current_, low);
      current_ += 4;
      if (!ok || low < 0xDC00 || low > 0xDFFF) {
        return fail(kJSONDeserializerErrorCode_StringBadEscaping, kStringUnicodeMessage);
      }
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    detail::appendUtf8(scratch_, static_cast<char32_t>(cp));
    return true;
  }

  // Checks the scanned bytes as UTF-8; ASCII needs no check. A short non-ASCII string goes
  // through the interning table: a hit on an equal, already checked string skips the check.
  // The caller then makes the string from the scanned bytes, which equal the interned ones.
  bool validString(const ScannedString& s) {
    if (s.ascii) return true;
    if (s.bytes.size() < kInternLimit) {
      std::uint64_t h = hashBytes(s.bytes);
      if (strings_.find(h, s.bytes)) return true;
      if (!detail::isValidUtf8(s.bytes)) {
        return fail(kJSONDeserializerErrorCode_StringCouldNotBeCreated, kStringCreateMessage);
      }
      strings_.store(h, s.bytes);
      return true;
    }
    if (!detail::isValidUtf8(s.bytes)) {
      return fail(kJSONDeserializerErrorCode_StringCouldNotBeCreated, kStringCreateMessage);
    }
    return true;
  }

  // Numbers are read in one pass over their digits. Integers and most doubles are built
  // from the digits gathered on the way; only a double whose digits or exponent are out of
  // the exact fast paths' reach is handed to from_chars, which reads the token again.
  bool parseNumber(json::Value& out) {
    constexpr std::uint64_t kMax = ~std::uint64_t{0};
    const char* const token = current_;
    const char* p = token;
    bool negative = false;
    if (p < end_ && *p == '-') {
      negative = true;
      ++p;
    }
    bool anyDigit = false, overflow = false;
    std::uint64_t integer = 0, fraction = 0, exponent = 0;
    int fractionDigits = 0;
    bool exponentNegative = false;
    const char* exponentMark = nullptr;  // the 'e' or 'E', when there is one
    const char* digits = p;
    while (p < end_ && isDigit(*p)) {
      auto d = static_cast<std::uint64_t>(*p - '0');
      // Up to 19 digits cannot overflow; only then is the bound checked.
      if (p - digits >= 19 && integer > (kMax - d) / 10) {
        overflow = true;
        break;
      }
      integer = integer * 10 + d;
      ++p;
    }
    anyDigit = p != digits;
    if (!overflow && p < end_ && *p == '.') {
      for (++p; p < end_ && isDigit(*p); ++p) {
        if (fraction > 1844674407370955160ULL) {
          overflow = true;
          break;
        }
        fraction = fraction * 10 + static_cast<std::uint64_t>(*p - '0');
        ++fractionDigits;
        anyDigit = true;
      }
    }
    if (!overflow && p < end_ && (*p == 'e' || *p == 'E')) {
      exponentMark = p++;
      if (p < end_ && (*p == '+' || *p == '-')) exponentNegative = *p++ == '-';
      const char* exponentDigits = p;
      for (; p < end_ && isDigit(*p); ++p) {
        auto d = static_cast<std::uint64_t>(*p - '0');
        if (p - exponentDigits >= 19 && exponent > (kMax - d) / 10) {
          overflow = true;
          break;
        }
        exponent = exponent * 10 + d;
      }
    }
    // The token is every number byte from its start; the grammar above must consume it all.
    const char* tokenEnd = p;
    while (tokenEnd < end_ && isNumberByte(*tokenEnd)) ++tokenEnd;
    current_ = tokenEnd;
    if (token == tokenEnd)
      return fail(kJSONDeserializerErrorCode_NumberNotScannable, kNumberMessage);
    if (overflow) return parseDecimal(token, tokenEnd, out);
    if (!anyDigit || p != tokenEnd) {
      return fail(kJSONDeserializerErrorCode_NumberNotScannable, kNumberMessage);
    }
    if (fraction == 0 && exponent == 0) {
      if (!negative) {
        buildValue(out, integer);
        return true;
      }
      if (integer <= 9223372036854775806ULL) {
        buildValue(out, -static_cast<std::int64_t>(integer));
        return true;
      }
      return parseDecimal(token, tokenEnd, out);
    }
    double v = 0.0;
    if (!exactDouble(integer, fraction, fractionDigits, exponent, exponentNegative, v)) {
      // The nearest double to the text. An exponent without digits counts as none.
      const char* numberEnd =
          exponentMark && (p == exponentMark + 1 || !isDigit(p[-1])) ? exponentMark : tokenEnd;
      auto r = std::from_chars(token, numberEnd, v);
      if (r.ec != std::errc() || r.ptr != numberEnd) {
        v = static_cast<double>(integer);
        if (fractionDigits > 0) {
          v += static_cast<double>(fraction) / std::pow(10.0, fractionDigits);
        }
        if (negative) v = -v;
        if (exponent != 0 && v != 0.0) {
          double x = static_cast<double>(exponent);
          v *= std::pow(10.0, exponentNegative ? -x : x);
        }
      }
    } else if (negative) {
      v = -v;
    }
    if (!std::isfinite(v)) return parseDecimal(token, tokenEnd, out);
    buildValue(out, v);
    return true;
  }

  // The magnitude integer.fraction × 10^±exponent, correctly rounded, when it can be had
  // from one exact operation: the digits as an integer of at most 2^53 and a power of ten
  // of at most 10^22, both exact doubles (a single rounding); or, where long double has a
  // 64-bit significand, digits below 2^63 and a power up to 10^27, both exact there, with
  // the one rounding to 64 bits checked not to fall next to a halfway point between two
  // doubles, where rounding again to 53 bits could go the wrong way. False otherwise.
  static bool exactDouble(std::uint64_t integer, std::uint64_t fraction, int fractionDigits,
                          std::uint64_t exponent, bool exponentNegative, double& v) {
    static constexpr std::uint64_t kPow10[20] = {1ULL,
                                                 10ULL,
                                                 100ULL,
                                                 1000ULL,
                                                 10000ULL,
                                                 100000ULL,
                                                 1000000ULL,
                                                 10000000ULL,
                                                 100000000ULL,
                                                 1000000000ULL,
                                                 10000000000ULL,
                                                 100000000000ULL,
                                                 1000000000000ULL,
                                                 10000000000000ULL,
                                                 100000000000000ULL,
                                                 1000000000000000ULL,
                                                 10000000000000000ULL,
                                                 100000000000000000ULL,
                                                 1000000000000000000ULL,
                                                 10000000000000000000ULL};
    if (fractionDigits > 19 || exponent > 100) return false;
    std::uint64_t digits;
    if (__builtin_mul_overflow(integer, kPow10[fractionDigits], &digits) ||
        __builtin_add_overflow(digits, fraction, &digits)) {
      return false;
    }
    const std::int64_t e10 = (exponentNegative ? -static_cast<std::int64_t>(exponent)
                                               : static_cast<std::int64_t>(exponent)) -
                             fractionDigits;
    if (digits == 0) {
      v = 0.0;
      return true;
    }
    static constexpr double kExact10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                            1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (digits <= (std::uint64_t{1} << 53) && e10 >= -22 && e10 <= 22) {
      double d = static_cast<double>(digits);
      v = e10 < 0 ? d / kExact10[-e10] : d * kExact10[e10];
      return true;
    }
#if (defined(__x86_64__) || defined(__i386__)) && __LDBL_MANT_DIG__ == 64
    if (digits < (std::uint64_t{1} << 63) && e10 >= -27 && e10 <= 27) {
      static constexpr long double kExact10L[28] = {
          1e0L,  1e1L,  1e2L,  1e3L,  1e4L,  1e5L,  1e6L,  1e7L,  1e8L,  1e9L,
          1e10L, 1e11L, 1e12L, 1e13L, 1e14L, 1e15L, 1e16L, 1e17L, 1e18L, 1e19L,
          1e20L, 1e21L, 1e22L, 1e23L, 1e24L, 1e25L, 1e26L, 1e27L};
      long double d = static_cast<long double>(static_cast<std::int64_t>(digits));
      long double r = e10 < 0 ? d / kExact10L[-e10] : d * kExact10L[e10];
      std::uint64_t significand;  // the 64-bit significand, explicit leading bit included
      std::memcpy(&significand, &r, sizeof significand);
      // The 11 bits below a double's 53: 0x400 is halfway; one unit either side of it
      // could be the wrong side.
      if ((significand & 0x7FF) - 0x3FF <= 2) return false;
      v = static_cast<double>(r);
      return true;
    }
#endif
    return false;
  }

  bool parseDecimal(const char* token, const char* tokenEnd, json::Value& out) {
    std::optional<Decimal> d =
        Decimal::parse(std::string_view(token, static_cast<std::size_t>(tokenEnd - token)));
    if (!d) return fail(kJSONDeserializerErrorCode_NumberNotScannable, kNumberMessage);
    buildValue(out, std::move(*d));
    return true;
  }

  Error makeError() const {
    Error e;
    e.domain = kstkJSONDeserializerErrorDomain;
    e.code = errCode_;
    if (errMessage_) e.userInfo.appendNew(kErrorDescriptionKey, json::Value(errMessage_));
    std::uint64_t line = 0, character = errOffset_;
    std::string before, after;
    if (hasInput_) {
      const char* pos = start_ + errOffset_;
      const char* lastBreak = nullptr;
      for (const char* q = start_; q < pos; ++q) {
        if (*q == '\r' || *q == '\n') {
          ++line;
          lastBreak = q;
        }
      }
      if (lastBreak) character = static_cast<std::uint64_t>(pos - lastBreak) + 1;
      // Either half may cut a multi-byte sequence; the cut piece shows as U+FFFD.
      const char* from = pos - start_ > kSnippetHalf ? pos - kSnippetHalf : start_;
      const char* to = end_ - pos > kSnippetHalf ? pos + kSnippetHalf : end_;
      before = detail::toValidUtf8(std::string_view(from, static_cast<std::size_t>(pos - from)));
      after = detail::toValidUtf8(std::string_view(pos, static_cast<std::size_t>(to - pos)));
    }
    e.userInfo.appendNew("line", json::Value(line));
    e.userInfo.appendNew("character", json::Value(character));
    e.userInfo.appendNew("location", json::Value(errOffset_));
    e.userInfo.appendNew("snippet", json::Value(before + "!HERE>!" + after));
    return e;
  }

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

kstCJSONDeserializer::kstCJSONDeserializer() : rep_(std::make_unique<Rep>()) {}
kstCJSONDeserializer::~kstCJSONDeserializer() = default;

std::unique_ptr<kstCJSONDeserializer> kstCJSONDeserializer::deserializer() {
  return std::make_unique<kstCJSONDeserializer>();
}

std::optional<json::Value> kstCJSONDeserializer::deserialize(
    std::shared_ptr<const std::string> data, Error* error) {
  Rep::Input in{&data, data ? std::string_view(*data) : std::string_view(), !data};
  json::Value v;
  if (!rep_->run(in, error, [&] { return rep_->readTop(v); })) return std::nullopt;
  return v;
}

std::optional<json::Value> kstCJSONDeserializer::deserialize(std::string_view data, Error* error) {
  json::Value v;
  if (!rep_->run({nullptr, data, false}, error, [&] { return rep_->readTop(v); })) {
    return std::nullopt;
  }
  return v;
}

std::optional<json::Value> kstCJSONDeserializer::deserialize(std::nullptr_t, Error* error) {
  return deserialize(std::shared_ptr<const std::string>(), error);
}

std::shared_ptr<json::Object> kstCJSONDeserializer::deserializeAsDictionary(
    std::shared_ptr<const std::string> data, Error* error) {
  Rep::Input in{&data, data ? std::string_view(*data) : std::string_view(), !data};
  json::Value v;
  if (!rep_->run(in, error, [&] { return rep_->readDictionary(v); })) return nullptr;
  return v.asObject();
}

std::shared_ptr<json::Object> kstCJSONDeserializer::deserializeAsDictionary(std::string_view data,
                                                                            Error* error) {
  json::Value v;
  if (!rep_->run({nullptr, data, false}, error, [&] { return rep_->readDictionary(v); })) {
    return nullptr;
  }
  return v.asObject();
}

std::shared_ptr<json::Object> kstCJSONDeserializer::deserializeAsDictionary(std::nullptr_t,
                                                                            Error* error) {
  return deserializeAsDictionary(std::shared_ptr<const std::string>(), error);
}

std::shared_ptr<json::Array> kstCJSONDeserializer::deserializeAsArray(
    std::shared_ptr<const std::string> data, Error* error) {
  Rep::Input in{&data, data ? std::string_view(*data) : std::string_view(), !data};
  json::Value v;
  if (!rep_->run(in, error, [&] { return rep_->readArray(v); })) return nullptr;
  return v.asArray();
}

std::shared_ptr<json::Array> kstCJSONDeserializer::deserializeAsArray(std::string_view data,
                                                                      Error* error) {
  json::Value v;
  if (!rep_->run({nullptr, data, false}, error, [&] { return rep_->readArray(v); })) {
    return nullptr;
  }
  return v.asArray();
}

std::shared_ptr<json::Array> kstCJSONDeserializer::deserializeAsArray(std::nullptr_t,
                                                                      Error* error) {
  return deserializeAsArray(std::shared_ptr<const std::string>(), error);
}

std::uint64_t kstCJSONDeserializer::scanLocation() const { return rep_->location_; }

const std::optional<json::Value>& kstCJSONDeserializer::nullObject() const {
  return rep_->nullObject_;
}

void kstCJSONDeserializer::setNullObject(std::optional<json::Value> nullObject) {
  rep_->nullObject_ = std::move(nullObject);
}

std::uint64_t kstCJSONDeserializer::options() const { return rep_->options_; }

void kstCJSONDeserializer::setOptions(std::uint64_t options) { rep_->options_ = options; }

std::optional<json::Value> kstCJSONDeserializer::dictionaryWithJSONData(std::string_view data,
                                                                        Error* error) {
  kstCJSONDeserializer reader;
  return reader.deserialize(data, error);
}

std::optional<json::Value> kstCJSONDeserializer::dictionaryWithJSONData(std::nullptr_t,
                                                                        Error* error) {
  kstCJSONDeserializer reader;
  return reader.deserialize(nullptr, error);
}

std::optional<json::Value> kstCJSONDeserializer::dictionaryWithJSONString(std::string_view text,
                                                                          Error* error) {
  return dictionaryWithJSONData(text, error);
}

std::optional<json::Value> kstCJSONDeserializer::dictionaryWithJSONString(std::nullptr_t,
                                                                          Error* error) {
  return dictionaryWithJSONData(nullptr, error);
}

}  // namespace zeplog
