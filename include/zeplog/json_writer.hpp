// The library's JSON writer: a tree of json::Value to compact UTF-8 JSON text.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "zeplog/error.hpp"
#include "zeplog/export.hpp"
#include "zeplog/json_value.hpp"

namespace zeplog {

// Error domain of the writer's errors ("CJSONSerializerErrorDomain").
ZEPLOG_API extern const char* const kstkJSONSerializerErrorDomain;

// Writes values as compact JSON (no white space anywhere), always valid JSON text
// (RFC 8259) in UTF-8:
//  - null, booleans ("true"/"false" only for a bool), integers, doubles (shortest
//    round-trip text; NaN and infinities, which JSON cannot hold, as null) and decimals;
//  - text with '"', '\\' and the control bytes escaped (\b \t \n \f \r, else \u00xx),
//    non-ASCII bytes as they are, "/" escaped only with option bit 0; text that is not
//    valid UTF-8 is written with each ill-formed sequence replaced by U+FFFD;
//  - byte data decoded as UTF-8, then as text; byte data that is not UTF-8 fails (-1);
//  - arrays and objects (members in the object's own key order);
//  - opaque values that offer a JSON text of themselves (inserted unchanged).
// Errors: code -1 "Cannot serialize data of type '<type>'" for a value the writer cannot
// write; code -2 "Could not serialize object '<description>'" when serializeObject's rule
// for a container or opaque value produced nothing. A failure inside nested containers thus
// ends as -2 naming the outermost container. A container is described as
// "Array(<n> elements)" or "Object(<n> members)".
//
// A writer is stateless apart from its options; one may be shared by threads that do not
// change its options.
class ZEPLOG_API kstCJSONSerializer {
 public:
  // Option bit 0: write "/" as "\/".
  static constexpr std::uint64_t kEscapeSolidus = 1;
  // Containers nested deeper than this fail (a reference cycle would otherwise never end).
  static constexpr int kMaxDepth = 512;

  static constexpr std::string_view kNULL = "null";
  static constexpr std::string_view kFalse = "false";
  static constexpr std::string_view kTrue = "true";

  // A new writer with options 0.
  static std::unique_ptr<kstCJSONSerializer> serializer();

  // Any value; nothing on failure, with the error in *error when error is given.
  std::optional<std::string> serializeObject(const json::Value& object,
                                             Error* error = nullptr) const;
  // Always "null".
  std::string serializeNull(json::Null null = {}, Error* error = nullptr) const;
  // A bool or number; a value of another kind fails with -1.
  std::optional<std::string> serializeNumber(const json::Value& number,
                                             Error* error = nullptr) const;
  // Never fails; *error is left alone.
  std::string serializeString(std::string_view string, Error* error = nullptr) const;
  std::optional<std::string> serializeArray(const json::Array& array, Error* error = nullptr) const;
  std::optional<std::string> serializeDictionary(const json::Object& dictionary,
                                                 Error* error = nullptr) const;

  // True for every kind the writer accepts; looks at the top value only. An opaque value
  // counts only when it offers a JSON text of itself.
  static bool isValidJSONObject(const json::Value& object);

  std::uint64_t options() const noexcept { return options_; }
  void setOptions(std::uint64_t options) noexcept { options_ = options; }

  // Appending forms: write onto the end of out, so a batch is built in one buffer. On
  // failure they return false and leave out as it was.
  bool appendObject(std::string& out, const json::Value& object, Error* error = nullptr) const;
  bool appendArray(std::string& out, const json::Array& array, Error* error = nullptr) const;
  bool appendDictionary(std::string& out, const json::Object& dictionary,
                        Error* error = nullptr) const;
  void appendString(std::string& out, std::string_view string) const;

 private:
  std::uint64_t options_ = 0;  // written only by setOptions; not synchronised
};

}  // namespace zeplog
