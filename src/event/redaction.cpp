#include "event/redaction.hpp"

#include <algorithm>
#include <atomic>
#include <memory>

#include "common/no_destructor.hpp"

namespace zeplog::detail {
namespace {

using KeyList = std::vector<std::string>;

// Made at compile time, not on first use: a forked child never inherits it half made.
constinit NoDestructor<std::atomic<std::shared_ptr<const KeyList>>> g_redactedKeys;
std::atomic<std::shared_ptr<const KeyList>>& redactedKeys() { return g_redactedKeys.value; }

}  // namespace

void setRedactedFields(std::vector<std::string> keys) {
  redactedKeys().store(keys.empty() ? nullptr : std::make_shared<const KeyList>(std::move(keys)));
}

bool redactionActive() { return redactedKeys().load() != nullptr; }

void redactFieldsIn(Fields& fields) {
  const std::shared_ptr<const KeyList> keys = redactedKeys().load();
  if (!keys) return;
  for (const std::string& key : *keys) {
    FieldValue* value = fields.find(key);
    if (!value) continue;
    if (std::holds_alternative<Bytes>(*value)) {
      *value = Bytes(kRedactedValue);
    } else {
      *value = std::string(kRedactedValue);
    }
  }
}

std::string_view shownValue(std::string_view key, std::string_view value) {
  const std::shared_ptr<const KeyList> keys = redactedKeys().load();
  if (keys && std::find(keys->begin(), keys->end(), key) != keys->end()) return kRedactedValue;
  return value;
}

}  // namespace zeplog::detail
