#include "event/global_state.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>

#include "common/fork_locks.hpp"

namespace zeplog::detail {

GlobalState& globals() {
  static auto* state = new GlobalState;  // never destroyed
  return *state;
}

namespace {

// Orders the hold switches' stores against the send thread's test-then-wait, so a release
// between the two cannot be missed. Taken after global_resource_lock, never before it.
struct HoldSignal {
  // A forked child gets the lock free and a fresh condition: the parent's send thread,
  // which may have been waiting on it, does not exist there.
  ForkSafeMutex mu{
      ForkLockRank::kSendHold, 0,
      [](void* self) { new (&static_cast<HoldSignal*>(self)->released) std::condition_variable; },
      this};
  std::condition_variable released;
};
HoldSignal& holdSignal() {
  static auto* s = new HoldSignal;  // never destroyed
  return *s;
}

}  // namespace

void SendHold::store(bool on) {
  HoldSignal& s = holdSignal();
  {
    std::lock_guard<std::mutex> g(s.mu);
    on_.store(on);
  }
  if (!on) s.released.notify_all();
}

void waitWhileSendHeld() {
  HoldSignal& s = holdSignal();
  GlobalState& g = globals();
  std::unique_lock<std::mutex> l(s.mu);
  s.released.wait(l, [&] { return !g.gs_SyncSend.load() && !g.gs_ThreadStop.load(); });
}

const std::vector<std::string>& reservedFieldNames() {
  static const auto* names = new std::vector<std::string>{
      "projectName",     "projectVersion", "host",        "logType",    "logSource",  "sendTime",
      "logTime",         "logLevel",       "UserID",      "Platform",   "DeviceType", "DeviceModel",
      "NetworkType",     "Carrier",        "CountryCode", "DmpData",    "errorCode",  "body",
      "PreferdLanguage", "FreeDiskSpace",  "FreeMemory",  "Jailbroken", "SessionID",  "Locale",
      "SdkVersion",      "DeviceID"};
  return *names;
}

bool isReservedFieldName(std::string_view key) {
  const auto& names = reservedFieldNames();
  return std::find(names.begin(), names.end(), key) != names.end();
}

bool isProtectedSystemKey(std::string_view key) {
  static constexpr std::string_view kKeys[] = {
      "logVersion", "SymMethod", "CrashStyle", "SdkVersion", "SessionID", "DeviceID", "Unity"};
  return std::find(std::begin(kKeys), std::end(kKeys), key) != std::end(kKeys);
}

}  // namespace zeplog::detail
