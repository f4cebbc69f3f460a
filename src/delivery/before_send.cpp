#include "delivery/before_send.hpp"

#include <atomic>
#include <exception>
#include <memory>
#include <string>

#include "common/console.hpp"
#include "common/no_destructor.hpp"
#include "event/redaction.hpp"
#include "queue/queue_counters.hpp"

namespace zeplog::detail {
namespace {

// Made at compile time, not on first use: a forked child never inherits it half made.
constinit NoDestructor<std::atomic<std::shared_ptr<const BeforeSendHook>>> g_hookSlot;
std::atomic<std::shared_ptr<const BeforeSendHook>>& hookSlot() { return g_hookSlot.value; }

// Set while some hook is installed: the send path checks it before the (locking) load.
std::atomic<bool> hookInstalled{false};

bool dropped(const char* why) {
  countUp(eventCounters().droppedByBeforeSend);
  if (why) ZEP_CONSOLE(std::string("beforeSend hook threw, the event is dropped : ") + why);
  return false;
}

}  // namespace

void setBeforeSend(BeforeSendHook hook) {
  const bool installed = static_cast<bool>(hook);
  hookSlot().store(installed ? std::make_shared<const BeforeSendHook>(std::move(hook)) : nullptr);
  hookInstalled.store(installed);
}

bool beforeSendInstalled() { return hookInstalled.load(); }

bool applyBeforeSend(VelaEvent& event) {
  if (hookInstalled.load()) {
    if (const std::shared_ptr<const BeforeSendHook> hook = hookSlot().load()) {
      const FieldsPtr before = event.fields();
      try {
        if (!(*hook)(event)) return dropped(nullptr);
      } catch (const std::exception& e) {
        return dropped(e.what());
      } catch (...) {
        return dropped("unknown exception");
      }
      // The send path holds on to the dictionary the event had: a hook that replaced it
      // (or removed it) has its new content moved into that one.
      const FieldsPtr after = event.fields();
      if (after != before) {
        FieldsPtr kept = before ? before : std::make_shared<Fields>();
        *kept = after ? *after : Fields();
        event.setFields(std::move(kept));
      }
    }
  }
  // Asked first: reading the fields of a log call's event makes its dictionary.
  if (!redactionActive()) return true;
  if (const FieldsPtr& fields = event.fields()) redactFieldsIn(*fields);
  return true;
}

}  // namespace zeplog::detail
