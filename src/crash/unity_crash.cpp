// Unity crash path: crash events of handle "0" and the crash duplicate table.
#include "crash/unity_crash.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <mutex>

#include "common/breadcrumbs.hpp"
#include "common/clock.hpp"
#include "common/console.hpp"
#include "common/guard.hpp"
#include "common/upload_consent.hpp"
#include "event/common_fields.hpp"
#include "event/crash_key.hpp"
#include "event/event_kind.hpp"
#include "event/global_state.hpp"
#include "event/handle_registry.hpp"
#include "event/text_rules.hpp"
#include "queue/block_queue.hpp"
#include "queue/queue_counters.hpp"

namespace zeplog::detail {
namespace {

constexpr std::size_t kCrashTableLimit = 10;

// A count stored as decimal text; 0 when the text is not a number.
std::int32_t countOf(const std::string& text) {
  std::int32_t n = 0;
  std::from_chars(text.data(), text.data() + text.size(), n);
  return n;
}

}  // namespace

void sendUnityCrash(Text /*level*/, Text /*type*/, Text message, Text exception) {
  guarded("sendUnityCrash", [&] {
    if (consentRevoked()) {  // nothing is kept or sent once upload consent is revoked
      countUp(eventCounters().droppedByConsent);
      return;
    }
    ZEP_CONSOLE("sendUnityCrash");
    if (!getHandler("0")) {
      ZEP_CONSOLE("can not find default handle");
      return;
    }
    {
      GlobalLock lock(global_resource_lock());
      if (!globals().gs_isInit.load()) return;
    }
    auto fields = std::make_shared<Fields>();
    fields->reserve(10);
    (void)copyCommonFields(*fields, "0");
    ZEP_CONSOLE("exception");
    fields->set(kCrashDataKey, Bytes(exception.present() ? toValidUtf8(exception.view())
                                                         : std::string("unknown")));
    fields->set(kSymMethodKey, std::string("none"));
    fields->set(kCrashStyleKey, std::string("unity-cs"));
    ZEP_CONSOLE("logLevel");
    fields->set(kLogLevelKey, Bytes("FATAL"));
    if (std::string crumbs = breadcrumbsText(); !crumbs.empty())
      fields->set("Breadcrumbs", std::move(crumbs));

    VelaEventPtr event;
    {
      GlobalLock lock(global_resource_lock());
      std::shared_ptr<kstVelaHandle> handle = getHandler("0");
      ZEP_CONSOLE("VelaEvent alloc");
      event = std::make_shared<VelaEvent>(handle->projectName, handle->projectVersion,
                                          std::string("CRASH"), handle->logSource,
                                          Bytes(toValidUtf8(message.view())), nowMillis(),
                                          getHost(), std::move(fields), std::string("0"));
    }
    ZEP_CONSOLE("gs_blockQueue enqueue:logEvent");
    if (kstVelaBlockQueue* queue = blockQueue()) queue->enqueue(std::move(event));
  });
}

bool checkUnityCrash(const VelaEventPtr& event,
                     const std::shared_ptr<const kstVelaHandle>& handle) {
  return guarded<bool>("checkUnityCrash", false, [&]() -> bool {
    if (!event || !handle) return false;
    const std::string key = crashKey(*event);
    GlobalLock lock(global_resource_lock());
    auto& table = globals().deDuplicateCrashQueue;
    if (key.empty() || !table) return false;
    if (std::string* count = table->find(key)) {
      if (!handle->isDeduplicate) return true;
      const std::int32_t seen = countOf(*count);
      *count = std::to_string(seen == INT32_MAX ? seen : seen + 1);
      return false;
    }
    if (!handle->isDeduplicate) return true;
    InsertCrashQueue(key, 1);
    return true;
  });
}

void InsertCrashQueue(Text key, std::int32_t value) {
  guarded("InsertCrashQueue", [&] {
    if (key.emptyOrAbsent()) return;
    GlobalLock lock(global_resource_lock());
    auto& table = globals().deDuplicateCrashQueue;
    if (!table) return;
    if (table->size() >= kCrashTableLimit && !table->contains(key.view())) {
      // Make room: drop the half of the keys with the lowest counts.
      std::vector<std::pair<std::int32_t, std::string>> byCount;
      for (const auto& [k, v] : *table) byCount.emplace_back(countOf(v), k);
      std::stable_sort(byCount.begin(), byCount.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      const std::size_t drop = byCount.size() / 2;
      for (std::size_t i = 0; i < drop; ++i) table->erase(byCount[i].second);
    }
    table->set(key.view(), std::to_string(value));
  });
}

}  // namespace zeplog::detail
