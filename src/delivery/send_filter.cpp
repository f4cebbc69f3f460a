#include "delivery/send_filter.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <string>
#include <vector>

#include "common/console.hpp"
#include "common/utf8.hpp"
#include "event/common_fields.hpp"
#include "event/event_json.hpp"
#include "event/event_kind.hpp"
#include "event/global_state.hpp"
#include "event/vela_event_maker.hpp"

namespace zeplog::detail {
namespace {

constexpr const char* kNetworkPulseBody = "NETWORKPULSES LOG";
// At this many entries an insert first trims the table.
constexpr std::size_t kDuplicateTableLimit = 10;

std::atomic<UnityCrashCheck> unityCrashCheck{nullptr};

std::int32_t countOf(const std::string* text) {
  std::int32_t n = 0;
  if (text) std::from_chars(text->data(), text->data() + text->size(), n);
  return n;
}

// The text of a byte-data value; "" for text, no value or bytes that are not UTF-8.
std::string textOf(const FieldValue* value) { return idToNSString(value).value_or(""); }

// The body's text; "" for no body or bytes that are not UTF-8. A view into the event.
std::string_view bodyText(const VelaEvent& event) {
  if (std::optional<std::string_view> text = LogEventMaker::pendingBody(event)) return *text;
  if (!event.body() || !isValidUtf8(event.body()->view())) return {};
  return event.body()->view();
}

// The level's text, as textOf gives it.
std::string levelText(const VelaEvent& event) {
  if (auto pending = LogEventMaker::pendingFields(event)) return std::string(pending->level);
  return textOf(event.fields() ? event.fields()->find(kLogLevelKey) : nullptr);
}

// Ordinary events: collapse repeats of the same body and level.
SendVerdict allowedIf(bool on) { return on ? SendVerdict::kSend : SendVerdict::kRefused; }

SendVerdict checkOrdinary(const VelaEvent& event, const FilterSwitches& sw, std::string_view body) {
  ZEP_CONSOLE("logtype : normal");
  if (!sw.isDeduplicate) {
    ZEP_CONSOLE("not deduplicate");
    return SendVerdict::kSend;
  }
  ZEP_CONSOLE("is deduplicate");
  const std::string level = levelText(event);
  // A log type is text, whose text is "": it adds nothing to the duplicate key.
  std::string baseKey;
  baseKey.reserve(body.size() + level.size());
  baseKey.append(body).append(level);
  const std::string& duplicateKey = baseKey;

  ZEP_CONSOLE("check containsobject");
  GlobalLock lock(global_resource_lock());
  auto& table = globals().deDuplicateQueue;
  if (!table) return allowedIf(sw.isLog);
  if (table->contains(duplicateKey)) {
    ZEP_CONSOLE("is contain object");
    const std::string counterKey = baseKey + event.logType().value_or("");
    const std::int32_t seen = countOf(table->find(counterKey));
    table->set(counterKey, std::to_string(seen == INT32_MAX ? seen : seen + 1));
    return SendVerdict::kCollapsed;
  }
  ZEP_CONSOLE("is not contain object");
  if (!sw.isLog) return SendVerdict::kRefused;
  ZEP_CONSOLE("InsertQueue");
  try {
    InsertQueue(duplicateKey, 1);  // the first of its kind: the table has no entry for it
  } catch (const std::exception& e) {
    consoleRaw(std::string("InsertQueue Exception : ") + e.what());
  }
  return SendVerdict::kSend;
}

}  // namespace

bool checkSendStatus(const VelaEventPtr& event, const std::shared_ptr<kstVelaHandle>& handle) {
  return sendVerdict(event, handle) == SendVerdict::kSend;
}

SendVerdict sendVerdict(const VelaEventPtr& event, const std::shared_ptr<kstVelaHandle>& handle) {
  if (!event || !handle) return SendVerdict::kRefused;
  FilterSwitches sw{};
  {
    GlobalLock lock(global_resource_lock());
    sw = FilterSwitches::ofLocked(*handle);
  }
  return sendVerdict(event, handle, sw);
}

SendVerdict sendVerdict(const VelaEventPtr& event, const std::shared_ptr<kstVelaHandle>& handle,
                        const FilterSwitches& sw) {
  if (!event || !handle) return SendVerdict::kRefused;
  if (isSessionEvent(*event)) {
    ZEP_CONSOLE("check session");
    return allowedIf(sw.isSession);
  }
  ZEP_CONSOLE("check session");
  if (isCrashEvent(*event)) {
    if (!sw.isCrash) return SendVerdict::kRefused;
    GlobalLock lock(global_resource_lock());
    if (!globals().gs_isUnity) {
      ZEP_CONSOLE("is not unity crash");
      return SendVerdict::kSend;
    }
    ZEP_CONSOLE("check checkUnityCrash");
    UnityCrashCheck check = unityCrashCheck.load();
    return !check || check(event, handle) ? SendVerdict::kSend : SendVerdict::kCollapsed;
  }

  ZEP_CONSOLE("is normal");
  ZEP_CONSOLE("event.logType : " + event->logType().value_or("(null)"));
  ZEP_CONSOLE("receivedDataString : " + getJsonFromVelaEvent(event));
  const std::string_view body = bodyText(*event);
  ZEP_CONSOLE("try equalToString");
  if (body == kNetworkPulseBody) {
    ZEP_CONSOLE("logtype : networkpulse");
    return allowedIf(sw.isLog);
  }
  return checkOrdinary(*event, sw, body);
}

void setUnityCrashCheck(UnityCrashCheck check) { unityCrashCheck.store(check); }

void InsertQueue(Text key, std::int32_t value) {
  if (key.emptyOrAbsent()) return;
  GlobalLock lock(global_resource_lock());
  auto& table = globals().deDuplicateQueue;
  if (!table) return;
  if (table->size() < kDuplicateTableLimit) {
    table->set(key.view(), std::to_string(value));
    return;
  }
  try {
    // Make room: drop the half of the entries with the lowest counts, the earlier of equal
    // counts first (base entries, which hold 1, and small repeat counters go first). The
    // highest count dropped is found without sorting, then one in-order pass drops every
    // entry below it and as many entries of that count as the half still needs.
    std::vector<std::int32_t> counts;
    counts.reserve(table->size());
    for (const auto& entry : *table) counts.push_back(countOf(&entry.second));
    const std::size_t drop = counts.size() / 2;
    std::vector<std::int32_t> order = counts;
    std::nth_element(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(drop - 1),
                     order.end());
    const std::int32_t highestDropped = order[drop - 1];
    std::size_t equalToDrop = drop - static_cast<std::size_t>(std::count_if(
                                         counts.begin(), counts.end(),
                                         [&](std::int32_t c) { return c < highestDropped; }));
    table->eraseIf([&](const std::string&, const std::string& value) {
      const std::int32_t c = countOf(&value);
      if (c < highestDropped) return true;
      if (c != highestDropped || equalToDrop == 0) return false;
      --equalToDrop;
      return true;
    });
    table->set(key.view(), std::to_string(value));
  } catch (...) {
    table->clear();
    table->set(key.view(), std::string("0"));
  }
}

}  // namespace zeplog::detail
