#include "common/upload_consent.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>

#include "common/console.hpp"
#include "common/files.hpp"
#include "common/fork_locks.hpp"
#include "common/log_gate.hpp"

namespace zeplog::detail {
namespace {

// The state, read without a lock by every gate (log calls, the crash handler's thread, the
// HTTP client). Written only under ConsentSync::mu, so a waiter's test-then-wait cannot miss
// a change.
constinit std::atomic<int> g_state{static_cast<int>(ConsentState::kNotAsked)};

// Revocations so far; written under ConsentSync::mu, like g_state.
constinit std::atomic<std::uint64_t> g_revocations{0};
// Mirrors ConsentSync::loaded for readers without the lock.
constinit std::atomic<bool> g_loaded{false};

struct ConsentSync {
  // Does file I/O (the record) while held; taken with no other library lock but the data
  // directory's (a higher rank) inside. A forked child gets a fresh condition: the parent's
  // waiting threads do not exist there.
  ForkSafeMutex mu{
      ForkLockRank::kUploadConsent, 0,
      [](void* self) { new (&static_cast<ConsentSync*>(self)->changed) std::condition_variable; },
      this};
  std::condition_variable changed;  // notified on every change of g_state
  bool loaded = false;              // guarded by mu: the record was read this process
  bool setByCall = false;           // guarded by mu: setConsent ran before the record was read
};
ConsentSync& sync() {
  static auto* s = new ConsentSync;  // never destroyed
  return *s;
}
// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_consentSyncMadeAtLoad = (static_cast<void>(sync()), true);

constexpr std::string_view wordOf(ConsentState s) {
  switch (s) {
    case ConsentState::kGiven:
      return "given";
    case ConsentState::kRevoked:
      return "revoked";
    default:
      return "unknown";
  }
}

std::optional<ConsentState> parseRecord(std::string_view text) {
  if (text.ends_with('\n')) text.remove_suffix(1);
  for (ConsentState s : {ConsentState::kUnknown, ConsentState::kGiven, ConsentState::kRevoked})
    if (text == wordOf(s)) return s;
  return std::nullopt;
}

// Caller holds sync().mu.
void writeRecordLocked(ConsentState s) {
  std::string error;
  if (!ensureDataDirectory(&error) ||
      !atomicWriteFile(consentRecordPath(), std::string(wordOf(s)) + "\n", &error))
    ZEP_CONSOLE("upload consent not recorded: " + error);
}

// Caller holds sync().mu.
void storeLocked(ConsentState s) {
  g_state.store(static_cast<int>(s));
  syncLogGate(LogGate::kConsentRevoked, [] { return consentRevoked(); });
  sync().changed.notify_all();
}

}  // namespace

ConsentState consentState() { return static_cast<ConsentState>(g_state.load()); }

bool consentRecordLoaded() { return g_loaded.load(); }

std::string consentRecordPath() { return joinPath(documentsDirectory(), kConsentRecordName); }

void requireConsent() {
  std::lock_guard<std::mutex> g(sync().mu);
  if (consentState() == ConsentState::kNotAsked) storeLocked(ConsentState::kUnknown);
}

ConsentState setConsent(ConsentState state) {
  ConsentSync& s = sync();
  std::lock_guard<std::mutex> g(s.mu);
  const ConsentState before = consentState();
  if (state == ConsentState::kRevoked) g_revocations.fetch_add(1);
  storeLocked(state);
  if (s.loaded) {
    writeRecordLocked(state);
  } else {
    s.setByCall = true;
  }
  return before;
}

ConsentState loadConsentRecord() {
  ConsentSync& s = sync();
  std::lock_guard<std::mutex> g(s.mu);
  if (s.loaded) return consentState();
  s.loaded = true;
  g_loaded.store(true);
  const ConsentState now = consentState();
  if (s.setByCall) {
    writeRecordLocked(now);
    return now;
  }
  const std::string path = consentRecordPath();
  if (fileExists(path)) {
    std::string error;
    const std::optional<std::string> text = readWholeFile(path, &error);
    std::optional<ConsentState> recorded = text ? parseRecord(*text) : std::nullopt;
    if (!recorded) {
      // A damaged record must not open the gate: the answer is asked for again.
      ZEP_CONSOLE("upload consent record " + path + " unreadable, consent is unknown" +
                  (error.empty() ? "" : ": " + error));
      recorded = ConsentState::kUnknown;
      writeRecordLocked(*recorded);
    }
    storeLocked(*recorded);
    return *recorded;
  }
  if (now != ConsentState::kNotAsked) writeRecordLocked(now);
  return now;
}

std::uint64_t revocationCount() { return g_revocations.load(); }

void waitForUploadConsent(const std::uint64_t* revocationsSeen) {
  const auto done = [&] {
    return uploadsAllowed() || (revocationsSeen && g_revocations.load() != *revocationsSeen);
  };
  if (done()) return;
  ConsentSync& s = sync();
  std::unique_lock<std::mutex> l(s.mu);
  s.changed.wait(l, done);
}

}  // namespace zeplog::detail
