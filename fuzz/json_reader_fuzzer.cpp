// Feeds arbitrary bytes to the JSON reader under every option combination and checks what
// holds for any input: no crash or undefined behaviour, errors of the reader's domain with
// their entries, positions inside the input, and decimals that print and parse back equal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "event/json/utf_convert.hpp"
#include "zeplog/json_reader.hpp"

namespace {

using zeplog::Error;
using zeplog::json::Value;

void check(bool ok) {
  if (!ok) std::abort();
}

void checkValue(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Decimal: {
      std::optional<zeplog::Decimal> back = zeplog::Decimal::parse(v.asDecimal().toString());
      check(back && *back == v.asDecimal());
      break;
    }
    case Value::Kind::Array:
      for (const Value& e : *v.asArray()) checkValue(e);
      break;
    case Value::Kind::Object:
      for (const auto& [k, e] : *v.asObject()) checkValue(e);
      break;
    default:
      break;
  }
}

void checkError(const Error& e, std::uint64_t location) {
  check(e.domain == zeplog::kstkJSONDeserializerErrorDomain);
  check(e.code < 0);
  check(e.userInfo.contains(zeplog::kErrorDescriptionKey) == (e.code != -12));
  const Value* loc = e.userInfo.find("location");
  check(loc && loc->isUInt() && loc->asUInt() == location);
  const Value* snippet = e.userInfo.find("snippet");
  check(snippet && snippet->isString() && snippet->asString().find("!HERE>!") != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // First byte: the option bits and whether the null object is absent.
  const std::uint8_t mode = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  zeplog::kstCJSONDeserializer reader;
  reader.setOptions(mode & 0x0F);
  if (mode & 0x10) reader.setNullObject(std::nullopt);

  // Long UTF-16/32 inputs grow when converted; the reader's offsets are in UTF-8 bytes.
  const std::uint64_t bound = text.size() * 2;
  Error e;
  std::optional<Value> v = reader.deserialize(std::string_view(text), &e);
  check(reader.scanLocation() <= bound);
  if (v) {
    checkValue(*v);
  } else {
    checkError(e, reader.scanLocation());
  }

  Error d;
  std::shared_ptr<zeplog::json::Object> dict = reader.deserializeAsDictionary(text, &d);
  if (dict)
    checkValue(Value(dict));
  else
    checkError(d, reader.scanLocation());

  auto shared = std::make_shared<const std::string>(text);
  Error a;
  std::shared_ptr<zeplog::json::Array> array = reader.deserializeAsArray(shared, &a);
  if (array)
    checkValue(Value(array));
  else
    checkError(a, reader.scanLocation());
  // The very buffer the reader holds is refused, unless it was converted.
  if (zeplog::detail::detectJSONInputEncoding(text).encoding ==
      zeplog::detail::JSONInputEncoding::kUtf8) {
    Error again;
    check(!reader.deserialize(shared, &again) && again.code == -11);
  }
  return 0;
}
