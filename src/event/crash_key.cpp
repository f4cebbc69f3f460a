#include "event/crash_key.hpp"

#include "common/utf8.hpp"
#include "event/event_kind.hpp"

namespace zeplog::detail {

std::string crashKey(const VelaEvent& event) {
  auto byteText = [](const Bytes* bytes) -> std::string_view {
    return bytes && isValidUtf8(bytes->view()) ? bytes->view() : std::string_view();
  };
  auto fieldBytes = [&](std::string_view key) -> const Bytes* {
    const FieldValue* v = event.fields() ? event.fields()->find(key) : nullptr;
    return v ? std::get_if<Bytes>(v) : nullptr;
  };
  std::string key(byteText(event.body() ? &*event.body() : nullptr));
  key += byteText(fieldBytes(kLogLevelKey));
  key += byteText(fieldBytes(kCrashDataKey));
  return key;
}

}  // namespace zeplog::detail
