// The reader's grammar: a document, values, objects and arrays, and the error it reports.
#include <iterator>
#include <tuple>

#include "common/utf8.hpp"
#include "event/json/json_reader_rep.hpp"
#include "event/json/utf_convert.hpp"

namespace zeplog {
namespace {

// The snippet shows up to this many bytes on each side of the position.
constexpr std::ptrdiff_t kSnippetHalf = 20;

}  // namespace

bool kstCJSONDeserializer::Rep::readTop(json::Value& out) {
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

void kstCJSONDeserializer::Rep::releaseLargeStacks() {
  constexpr std::size_t kKeepBytes = std::size_t{1} << 20;
  if (elements_.capacity() * sizeof(json::Value) > kKeepBytes) {
    std::vector<json::Value>().swap(elements_);
  }
  if (members_.capacity() * sizeof(Member) > kKeepBytes) std::vector<Member>().swap(members_);
}

bool kstCJSONDeserializer::Rep::setInput(const Input& input) {
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

bool kstCJSONDeserializer::Rep::parseValue(json::Value& out, KeyGuide* guide) {
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

bool kstCJSONDeserializer::Rep::parseObject(json::Value& out, KeyGuide* guide) {
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
  const json::Object* guideKeys = guide ? guide->first : nullptr;
  // A guided object is expected to have the guide's size: its members are read straight
  // into their final storage, allocated at that size. Any other object's members are
  // gathered on the reader's member stack and moved into the object in one step when it
  // is complete. Either way the object is allocated once and its key index built once.
  std::vector<Member> own;
  if (guideKeys) own.reserve(guideKeys->size());
  std::vector<Member>& members = guideKeys ? own : members_;
  const std::size_t base = members.size();
  StackMark<Member> mark(members, base);
  ObjectScan scan{objectStart, guideKeys, guideKeys != nullptr, &members, base};

  for (;;) {
    skipWhite();
    if (atByte('}')) break;
    if (!parseMember(scan)) return false;
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
  return finishObject(out, guide, guideKeys ? &own : nullptr, base, scan.allGuided);
}

// While the keys so far equal the guide's first keys, a key equal to the guide's next one is
// new to this object (the guide's keys are distinct): no UTF-8 check, and no key comparison
// when the object is assembled.
bool kstCJSONDeserializer::Rep::guidedKey(const ObjectScan& scan, std::string_view key,
                                          KeyGuide& member) const {
  const std::size_t count = scan.members->size() - scan.base;
  if (!scan.allGuided || count >= scan.guideKeys->size()) return false;
  const auto& next = *(scan.guideKeys->begin() + static_cast<std::ptrdiff_t>(count));
  if (next.first != key) return false;
  if (next.second.isObject()) member.first = next.second.asObject().get();
  return true;
}

bool kstCJSONDeserializer::Rep::parseMember(ObjectScan& scan) {
  std::vector<Member>& members = *scan.members;
  ScannedString key;
  if (!scanString(key))
    return failAt(scan.start, kJSONDeserializerErrorCode_DictionaryKeyScanFailed,
                  kDictionaryKeyMessage);
  KeyGuide member;  // the guide's value under this key guides a nested object
  const bool guided = guidedKey(scan, key.bytes, member);
  if (!guided && !validString(key)) {
    return failAt(scan.start, kJSONDeserializerErrorCode_DictionaryKeyScanFailed,
                  kDictionaryKeyMessage);
  }
  skipWhite();
  if (!atByte(':')) {
    return failAt(scan.start, kJSONDeserializerErrorCode_DictionaryKeyNotTerminated,
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
    return failAt(scan.start, kJSONDeserializerErrorCode_DictionaryValueScanFailed,
                  kDictionaryValueMessage);
  }
  // A null member is left out when nulls have no object; it changes nothing either,
  // repeated key or not.
  if (!nullObject_ && members.back().second.isNull()) {
    members.pop_back();
  } else if (!guided) {
    scan.allGuided = false;
  }
  return true;
}

bool kstCJSONDeserializer::Rep::finishObject(json::Value& out, KeyGuide* guide,
                                             std::vector<Member>* own, std::size_t base,
                                             bool allGuided) {
  std::shared_ptr<json::Object> dict;
  try {
    dict = std::make_shared<json::Object>();
  } catch (const std::bad_alloc&) {
    return fail(kJSONDeserializerErrorCode_CouldNotAllocateObject, kCouldNotAllocateMessage);
  }
  // A repeated key keeps its first place and takes its last value.
  if (own) {
    dict->assignEntries(std::move(*own), allGuided);
  } else {
    dict->assignMoved(members_.begin() + static_cast<std::ptrdiff_t>(base), members_.end(),
                      allGuided);
  }
  if (guide && !guide->first) guide->first = dict.get();
  buildValue(out, std::move(dict));
  return true;
}

bool kstCJSONDeserializer::Rep::parseArray(json::Value& out) {
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

Error kstCJSONDeserializer::Rep::makeError() const {
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

}  // namespace zeplog
