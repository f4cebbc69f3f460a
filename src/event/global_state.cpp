#include "event/global_state.hpp"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <mutex>
#include <new>

#include "common/fork_locks.hpp"

namespace zeplog::detail {

GlobalState& globals() {
  static auto* state = new GlobalState;  // never destroyed
  return *state;
}

// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_globalsMadeAtLoad = (static_cast<void>(globals()), true);

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

// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_holdSignalMadeAtLoad = (static_cast<void>(holdSignal()), true);

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

namespace {
constexpr std::array<std::string_view, 26> kReservedFieldNames{
    "projectName",     "projectVersion", "host",        "logType",    "logSource",  "sendTime",
    "logTime",         "logLevel",       "UserID",      "Platform",   "DeviceType", "DeviceModel",
    "NetworkType",     "Carrier",        "CountryCode", "DmpData",    "errorCode",  "body",
    "PreferdLanguage", "FreeDiskSpace",  "FreeMemory",  "Jailbroken", "SessionID",  "Locale",
    "SdkVersion",      "DeviceID"};
}  // namespace

std::span<const std::string_view> reservedFieldNames() { return kReservedFieldNames; }

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
