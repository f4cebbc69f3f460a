#include "event/common_fragment.hpp"

#include <algorithm>
#include <array>

#include "common/utf8.hpp"
#include "event/event_json.hpp"
#include "event/event_kind.hpp"
#include "event/redaction.hpp"
#include "event/vela_event_maker.hpp"

namespace zeplog::detail {
namespace {

// Keys an event object writes in a place of its own, and keys the send path reads from the
// completed event: a common field of such a name changes more than the text after the
// event's members.
bool isPlacedKey(std::string_view key) {
  return isEventMember(key) || key == kBulkIndexKey || key == kCrashDataKey ||
         key == kLogLevelKey || key == kErrorCodeKey || key == kErrorRateKey;
}

// Fields that only session and crash events carry (the send path removes them from the
// others), and those never take a fragment: left out of the text, but not out of the keys.
constexpr std::array<std::string_view, 3> kSessionAndCrashOnly = {kSessionIdKey, kSymMethodKey,
                                                                  kCrashStyleKey};

bool appendable(std::string_view key) { return isValidUtf8(key) && !isPlacedKey(key); }

}  // namespace

std::shared_ptr<const CommonFragment> CommonFragment::make(Fields common) {
  std::vector<std::string> keys;
  keys.reserve(common.size());
  for (const auto& entry : common) {
    if (!appendable(entry.first)) return nullptr;
    keys.push_back(entry.first);
  }
  std::sort(keys.begin(), keys.end());
  for (std::string_view key : kSessionAndCrashOnly) common.erase(key);
  redactFieldsIn(common);
  std::string json = jsonMembersOf(common);
  return std::shared_ptr<const CommonFragment>(
      new CommonFragment(std::move(keys), std::move(json), std::move(common)));
}

bool CommonFragment::fits(const VelaEvent& event) const {
  if (isSessionEvent(event)) return false;
  // A log call's own two fields, still in its text, are never common ones.
  if (LogEventMaker::pendingFields(event)) return true;
  const FieldsPtr& own = event.fields();
  if (!own) return true;
  for (const auto& entry : *own) {
    if (!isValidUtf8(entry.first) || entry.first == kCrashDataKey ||
        std::binary_search(sortedKeys_.begin(), sortedKeys_.end(), entry.first,
                           [](std::string_view a, std::string_view b) { return a < b; }))
      return false;
  }
  return true;
}

}  // namespace zeplog::detail
