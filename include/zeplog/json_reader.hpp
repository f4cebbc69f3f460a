// The JSON reader: JSON text to json::Value, with precise error reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "zeplog/error.hpp"
#include "zeplog/export.hpp"
#include "zeplog/json_value.hpp"

namespace zeplog {

// Error domain of every error the reader reports.
ZEPLOG_API extern const char* const
    kstkJSONDeserializerErrorDomain;  // "CJSONDeserializerErrorDomain"

// Error codes of kstkJSONDeserializerErrorDomain.
enum JSONDeserializerErrorCode : std::int64_t {
  kJSONDeserializerErrorCode_NothingToScan = -11,
  kJSONDeserializerErrorCode_CouldNotDecodeData = -12,
  kJSONDeserializerErrorCode_CouldNotScanObject = -15,
  kJSONDeserializerErrorCode_ScanningFragmentsNotAllowed = -16,
  kJSONDeserializerErrorCode_DidNotConsumeAllData = -17,
  kJSONDeserializerErrorCode_CouldNotAllocateObject = -18,
  kJSONDeserializerErrorCode_DictionaryStartCharacterMissing = -101,
  kJSONDeserializerErrorCode_DictionaryKeyScanFailed = -102,
  kJSONDeserializerErrorCode_DictionaryKeyNotTerminated = -103,
  kJSONDeserializerErrorCode_DictionaryValueScanFailed = -104,
  kJSONDeserializerErrorCode_DictionaryKeyValuePairNoDelimiter = -106,
  kJSONDeserializerErrorCode_ArrayStartCharacterMissing = -201,
  kJSONDeserializerErrorCode_ArrayValueScanFailed = -202,
  kJSONDeserializerErrorCode_ArrayNotTerminated = -204,
  kJSONDeserializerErrorCode_StringNotStartedWithBackslash = -301,
  kJSONDeserializerErrorCode_StringUnknownEscapeCode = -303,
  kJSONDeserializerErrorCode_StringNotTerminated = -304,
  kJSONDeserializerErrorCode_StringBadEscaping = -305,
  kJSONDeserializerErrorCode_StringCouldNotBeCreated = -306,
  kJSONDeserializerErrorCode_NumberNotScannable = -401,
};

// Option bits of kstCJSONDeserializer::options(). Bits 1 and 2 are accepted and kept but
// change nothing in C++: every container and string the reader returns is the caller's own
// and modifiable.
inline constexpr std::uint64_t kJSONDeserializationOptions_MutableContainers = 1;
inline constexpr std::uint64_t kJSONDeserializationOptions_MutableLeaves = 2;
// A top-level value that is neither an array nor an object is accepted.
inline constexpr std::uint64_t kJSONDeserializationOptions_AllowFragments = 4;
// An unknown escape such as \q stands for its character instead of failing.
inline constexpr std::uint64_t kJSONDeserializationOptions_LaxEscapeCodes = 8;

// Reads JSON text (UTF-8, or UTF-16/UTF-32 in either byte order, recognised by its first
// four bytes) into json::Value trees. Numbers become unsigned or signed 64-bit integers,
// doubles, or exact Decimals when they fit neither. Nesting deeper than kMaxNesting levels
// fails like any other bad value. Failures return nothing and, when an Error* is given, an
// error of kstkJSONDeserializerErrorDomain with "line", "character", "location" and
// "snippet" entries describing where the reader stood.
//
// A reader holds one input at a time and keeps, across calls, a cache of short checked
// strings and the room it gathers container entries in (up to a bound); use it from one
// thread at a time.
class ZEPLOG_API kstCJSONDeserializer {
 public:
  // Containers nested deeper than this fail; recursion is bounded by it.
  static constexpr int kMaxNesting = 512;

  kstCJSONDeserializer();
  ~kstCJSONDeserializer();
  kstCJSONDeserializer(const kstCJSONDeserializer&) = delete;
  kstCJSONDeserializer& operator=(const kstCJSONDeserializer&) = delete;

  // A new reader: null object json::Null, options kJSONDeserializationOptions_MutableContainers.
  static std::unique_ptr<kstCJSONDeserializer> deserializer();

  // The top-level value. The shared buffer stays referenced by the reader until the next
  // input; handing in the very buffer the reader holds fails with -11, as does nullptr.
  // The string_view form reads a buffer the caller keeps alive for the call only.
  std::optional<json::Value> deserialize(std::shared_ptr<const std::string> data,
                                         Error* error = nullptr);
  std::optional<json::Value> deserialize(std::string_view data, Error* error = nullptr);
  std::optional<json::Value> deserialize(std::nullptr_t, Error* error = nullptr);

  // The object at the start of the input (after white space); what follows it is not
  // examined. nullptr on failure.
  std::shared_ptr<json::Object> deserializeAsDictionary(std::shared_ptr<const std::string> data,
                                                        Error* error = nullptr);
  std::shared_ptr<json::Object> deserializeAsDictionary(std::string_view data,
                                                        Error* error = nullptr);
  std::shared_ptr<json::Object> deserializeAsDictionary(std::nullptr_t, Error* error = nullptr);

  // The array at the start of the input; what follows it is not examined. nullptr on failure.
  std::shared_ptr<json::Array> deserializeAsArray(std::shared_ptr<const std::string> data,
                                                  Error* error = nullptr);
  std::shared_ptr<json::Array> deserializeAsArray(std::string_view data, Error* error = nullptr);
  std::shared_ptr<json::Array> deserializeAsArray(std::nullptr_t, Error* error = nullptr);

  // Offset of the scan position from the first byte of the (UTF-8) input of the last call.
  std::uint64_t scanLocation() const;

  // What JSON null becomes. std::nullopt (absent): null object members are left out and
  // nulls elsewhere become json::Null.
  const std::optional<json::Value>& nullObject() const;
  void setNullObject(std::optional<json::Value> nullObject);

  std::uint64_t options() const;
  void setOptions(std::uint64_t options);

  // A new reader's deserialize() result: an object, or an array when the text's top-level
  // value is one.
  static std::optional<json::Value> dictionaryWithJSONData(std::string_view data,
                                                           Error* error = nullptr);
  static std::optional<json::Value> dictionaryWithJSONData(std::nullptr_t, Error* error = nullptr);
  // The same for text; its UTF-8 bytes are read.
  static std::optional<json::Value> dictionaryWithJSONString(std::string_view text,
                                                             Error* error = nullptr);
  static std::optional<json::Value> dictionaryWithJSONString(std::nullptr_t,
                                                             Error* error = nullptr);

 private:
  class Rep;
  std::unique_ptr<Rep> rep_;
};

}  // namespace zeplog
