#include "event/redaction.hpp"

#include <atomic>
#include <memory>

namespace zeplog::detail {
namespace {

using KeyList = std::vector<std::string>;

std::atomic<std::shared_ptr<const KeyList>>& redactedKeys() {
  static auto* keys = new std::atomic<std::shared_ptr<const KeyList>>;  // never destroyed
  return *keys;
}

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

}  // namespace zeplog::detail
