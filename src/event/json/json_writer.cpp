#include "zeplog/json_writer.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>
#include <vector>

#include "common/utf8.hpp"
#include "event/json/json_string_writer.hpp"

namespace zeplog {

const char* const kstkJSONSerializerErrorDomain = "CJSONSerializerErrorDomain";

namespace {

// Type names in "Cannot serialize data of type" errors for the writer's own kinds.
const char* kindName(json::Value::Kind kind) {
  switch (kind) {
    case json::Value::Kind::Null:
      return "Null";
    case json::Value::Kind::Bool:
      return "Bool";
    case json::Value::Kind::UInt:
      return "UInt64";
    case json::Value::Kind::Int:
      return "Int64";
    case json::Value::Kind::Double:
      return "Double";
    case json::Value::Kind::Decimal:
      return "Decimal";
    case json::Value::Kind::String:
      return "String";
    case json::Value::Kind::Bytes:
      return "Bytes";
    case json::Value::Kind::Array:
      return "Array";
    case json::Value::Kind::Object:
      return "Object";
    case json::Value::Kind::Opaque:
      return "Opaque";
  }
  return "Unknown";
}

void setError(Error* error, std::int64_t code, std::string description) {
  if (error == nullptr) return;
  error->domain = kstkJSONSerializerErrorDomain;
  error->code = code;
  error->userInfo.clear();
  error->userInfo.set(kErrorDescriptionKey, json::Value(std::move(description)));
}

void cannotSerializeType(Error* error, const std::string& typeName) {
  setError(error, -1, "Cannot serialize data of type '" + typeName + "'");
}

// A short description: a container is named by its size, not rendered, since a batch can
// be megabytes long.
std::string describe(const json::Value& value) {
  if (value.isArray()) {
    return "Array(" + std::to_string(value.asArray()->size()) + " elements)";
  }
  if (value.isObject()) {
    return "Object(" + std::to_string(value.asObject()->size()) + " members)";
  }
  if (value.isOpaque()) return value.asOpaque()->description();
  return kindName(value.kind());
}

// Writes a bool or number; false for a value of another kind. Numbers are formatted
// straight into the output.
bool writeNumber(detail::JSONSink& sink, const json::Value& v) {
  switch (v.kind()) {
    case json::Value::Kind::Bool:
      sink.append(v.asBool() ? kstCJSONSerializer::kTrue : kstCJSONSerializer::kFalse);
      return true;
    case json::Value::Kind::UInt: {
      char* dst = sink.room(20);
      sink.advance(std::to_chars(dst, dst + 20, v.asUInt()).ptr);
      return true;
    }
    case json::Value::Kind::Int: {
      char* dst = sink.room(20);
      sink.advance(std::to_chars(dst, dst + 20, v.asInt()).ptr);
      return true;
    }
    case json::Value::Kind::Double: {
      double d = v.asDouble();
      // JSON has no NaN or infinity; null keeps the document readable.
      if (!std::isfinite(d)) {
        sink.append(kstCJSONSerializer::kNULL);
        return true;
      }
      // The shortest round-trip text of a double needs at most 24 bytes.
      char* dst = sink.room(32);
      sink.advance(std::to_chars(dst, dst + 32, d).ptr);
      return true;
    }
    case json::Value::Kind::Decimal:
      sink.append(v.asDecimal().toString());
      return true;
    default:
      return false;
  }
}

bool appendNumber(std::string& out, const json::Value& v) {
  detail::JSONSink sink(out, 32);
  bool ok = writeNumber(sink, v);
  sink.finish();
  return ok;
}

// The output's size, near enough to reserve it up front without walking the whole tree
// twice: a container of many entries is judged by its first kSample entries, and the walk
// stops after `budget` values. An estimate short of the truth only costs a regrowth.
constexpr std::size_t kSample = 8;

std::size_t estimateArray(const json::Array& a, int& budget);
std::size_t estimateDictionary(const json::Object& o, int& budget);

std::size_t estimateSize(const json::Value& v, int& budget) {
  if (--budget < 0) return 16;
  switch (v.kind()) {
    case json::Value::Kind::Null:
    case json::Value::Kind::Bool:
      return 5;
    case json::Value::Kind::UInt:
    case json::Value::Kind::Int:
      return 8;
    case json::Value::Kind::Double:
    case json::Value::Kind::Decimal:
      return 20;
    case json::Value::Kind::String:
      return v.asString().size() + 2;
    case json::Value::Kind::Bytes:
      return v.asBytes().view().size() + 2;
    case json::Value::Kind::Array:
      return v.asArray() ? estimateArray(*v.asArray(), budget) : 4;
    case json::Value::Kind::Object:
      return v.asObject() ? estimateDictionary(*v.asObject(), budget) : 4;
    case json::Value::Kind::Opaque:
      return 16;
  }
  return 16;
}

std::size_t estimateArray(const json::Array& a, int& budget) {
  const std::size_t sample = a.size() < kSample ? a.size() : kSample;
  std::size_t sum = 0;
  for (std::size_t i = 0; i < sample; ++i) sum += estimateSize(a[i], budget);
  return 2 + a.size() + (sample ? sum * a.size() / sample : 0);
}

std::size_t estimateDictionary(const json::Object& o, int& budget) {
  std::size_t sample = 0, sum = 0;
  for (const auto& [key, value] : o) {
    if (sample == kSample) break;
    sum += key.size() + 4 + estimateSize(value, budget);
    ++sample;
  }
  return 2 + (sample ? sum * o.size() / sample : 0);
}

constexpr int kEstimateBudget = 512;

// Asks for the block of a container that will be written next while the current entry is
// written: a tree read from text is spread over the heap, and the writer otherwise waits on
// each container's memory in turn.
inline void prefetchContainer(const json::Value& v) {
  if (v.isObject()) {
    __builtin_prefetch(v.asObject().get());
  } else if (v.isArray()) {
    __builtin_prefetch(v.asArray().get());
  }
}

// The recursive rules; on failure each leaves the sink where it found it.
class TreeWriter {
 public:
  TreeWriter(detail::JSONSink& sink, bool escapeSolidus, Error* error)
      : sink_(sink), escapeSolidus_(escapeSolidus), error_(error) {}

  bool value(const json::Value& object, int depth) {
    bool ok = true;
    switch (object.kind()) {
      case json::Value::Kind::Null:
        sink_.append(kstCJSONSerializer::kNULL);
        return true;
      case json::Value::Kind::Bool:
      case json::Value::Kind::UInt:
      case json::Value::Kind::Int:
      case json::Value::Kind::Double:
      case json::Value::Kind::Decimal:
        return writeNumber(sink_, object);
      case json::Value::Kind::String:
        detail::writeJSONString(sink_, object.asString(), escapeSolidus_);
        return true;
      case json::Value::Kind::Bytes: {
        std::string_view bytes = object.asBytes().view();
        if (!detail::isValidUtf8(bytes)) {
          cannotSerializeType(error_, kindName(object.kind()));
          return false;
        }
        detail::writeJSONString(sink_, bytes, escapeSolidus_);
        return true;
      }
      // An absent container or opaque value has nothing to write but null.
      case json::Value::Kind::Array:
        if (object.asArray() == nullptr) {
          sink_.append(kstCJSONSerializer::kNULL);
          return true;
        }
        ok = array(*object.asArray(), depth + 1);
        break;
      case json::Value::Kind::Object:
        if (object.asObject() == nullptr) {
          sink_.append(kstCJSONSerializer::kNULL);
          return true;
        }
        ok = dictionary(*object.asObject(), depth + 1);
        break;
      case json::Value::Kind::Opaque: {
        const auto& opaque = object.asOpaque();
        if (opaque == nullptr) {
          sink_.append(kstCJSONSerializer::kNULL);
          return true;
        }
        if (!opaque->hasJSONDataRepresentation()) {
          cannotSerializeType(error_, opaque->typeName());
          return false;
        }
        std::optional<std::string> text = opaque->JSONDataRepresentation();
        if (text) sink_.append(*text);
        ok = text.has_value();
        break;
      }
    }
    if (!ok) {
      setError(error_, -2, "Could not serialize object '" + describe(object) + "'");
    }
    return ok;
  }

  bool array(const json::Array& array, int depth) {
    if (depth > kstCJSONSerializer::kMaxDepth) return false;
    const std::size_t start = sink_.position();
    sink_.put('[');
    bool first = true;
    const std::size_t n = array.size();
    for (std::size_t i = 0; i < n; ++i) {
      if (i + 1 < n) prefetchContainer(array[i + 1]);
      const json::Value& element = array[i];
      if (!first) sink_.put(',');
      first = false;
      if (!value(element, depth)) {
        sink_.truncate(start);
        return false;
      }
    }
    sink_.put(']');
    return true;
  }

  bool dictionary(const json::Object& dictionary, int depth) {
    if (depth > kstCJSONSerializer::kMaxDepth) return false;
    const std::size_t start = sink_.position();
    sink_.put('{');
    bool first = true;
    std::vector<std::string> repairedKeys;  // keys written after a UTF-8 repair
    for (auto it = dictionary.begin(), end = dictionary.end(); it != end; ++it) {
      if (it + 1 != end) prefetchContainer((it + 1)->second);
      const auto& [key, member] = *it;
      if (repairCollides(dictionary, key, repairedKeys)) continue;
      if (!first) sink_.put(',');
      first = false;
      detail::writeJSONString(sink_, key, escapeSolidus_);
      sink_.put(':');
      if (!value(member, depth)) {
        sink_.truncate(start);
        return false;
      }
    }
    sink_.put('}');
    return true;
  }

 private:
  // Keys are written as valid UTF-8, so two distinct keys may repair to the same text. The
  // object must still have distinct keys: a key that is not UTF-8 is left out when its
  // repaired text is a valid key of the object or a repaired key written before it.
  static bool repairCollides(const json::Object& dictionary, const std::string& key,
                             std::vector<std::string>& repairedKeys) {
    if (detail::isValidUtf8(key)) return false;
    std::string repaired = detail::repairUtf8(key);
    if (dictionary.contains(repaired)) return true;
    for (const std::string& earlier : repairedKeys) {
      if (earlier == repaired) return true;
    }
    repairedKeys.push_back(std::move(repaired));
    return false;
  }

  detail::JSONSink& sink_;
  const bool escapeSolidus_;
  Error* const error_;
};

// Runs one of TreeWriter's rules onto the end of out, with the output's room reserved from
// the estimate; on failure out is left as it was.
template <typename Rule>
bool writeTree(std::string& out, std::size_t estimate, bool escapeSolidus, Error* error,
               Rule rule) {
  const std::size_t start = out.size();
  detail::JSONSink sink(out, estimate);
  TreeWriter writer(sink, escapeSolidus, error);
  bool ok = rule(writer);
  if (!ok) sink.truncate(start);
  sink.finish();
  return ok;
}

}  // namespace

std::unique_ptr<kstCJSONSerializer> kstCJSONSerializer::serializer() {
  return std::make_unique<kstCJSONSerializer>();
}

std::optional<std::string> kstCJSONSerializer::serializeObject(const json::Value& object,
                                                               Error* error) const {
  std::string out;
  if (!appendObject(out, object, error)) return std::nullopt;
  return out;
}

std::string kstCJSONSerializer::serializeNull(json::Null, Error*) const {
  return std::string(kNULL);
}

std::optional<std::string> kstCJSONSerializer::serializeNumber(const json::Value& number,
                                                               Error* error) const {
  std::string out;
  if (!appendNumber(out, number)) {
    cannotSerializeType(error, kindName(number.kind()));
    return std::nullopt;
  }
  return out;
}

std::string kstCJSONSerializer::serializeString(std::string_view string, Error*) const {
  std::string out;
  appendString(out, string);
  return out;
}

std::optional<std::string> kstCJSONSerializer::serializeArray(const json::Array& array,
                                                              Error* error) const {
  std::string out;
  if (!appendArray(out, array, error)) return std::nullopt;
  return out;
}

std::optional<std::string> kstCJSONSerializer::serializeDictionary(const json::Object& dictionary,
                                                                   Error* error) const {
  std::string out;
  if (!appendDictionary(out, dictionary, error)) return std::nullopt;
  return out;
}

bool kstCJSONSerializer::isValidJSONObject(const json::Value& object) {
  if (!object.isOpaque()) return true;
  const auto& opaque = object.asOpaque();
  return opaque == nullptr || opaque->hasJSONDataRepresentation();
}

bool kstCJSONSerializer::appendObject(std::string& out, const json::Value& object,
                                      Error* error) const {
  int budget = kEstimateBudget;
  return writeTree(out, estimateSize(object, budget), (options_ & kEscapeSolidus) != 0, error,
                   [&](TreeWriter& w) { return w.value(object, 0); });
}

bool kstCJSONSerializer::appendArray(std::string& out, const json::Array& array,
                                     Error* error) const {
  int budget = kEstimateBudget;
  return writeTree(out, estimateArray(array, budget), (options_ & kEscapeSolidus) != 0, error,
                   [&](TreeWriter& w) { return w.array(array, 0); });
}

bool kstCJSONSerializer::appendDictionary(std::string& out, const json::Object& dictionary,
                                          Error* error) const {
  int budget = kEstimateBudget;
  return writeTree(out, estimateDictionary(dictionary, budget), (options_ & kEscapeSolidus) != 0,
                   error, [&](TreeWriter& w) { return w.dictionary(dictionary, 0); });
}

void kstCJSONSerializer::appendString(std::string& out, std::string_view string) const {
  detail::appendJSONString(out, string, (options_ & kEscapeSolidus) != 0);
}

}  // namespace zeplog
