// Upload consent: whether anything may leave the machine, and the record of the answer in the
// data directory.
#pragma once

#include <cstdint>
#include <string>

namespace zeplog::detail {

// kNotAsked: the application never asked for consent (uploads flow as they always did).
// The other three are the public Consent values.
enum class ConsentState : int { kNotAsked, kUnknown, kGiven, kRevoked };

// The state now: one atomic load, callable from any thread, a log call or a signal handler.
ConsentState consentState();
// True when a request may leave the machine: consent was never asked for, or was given.
inline bool uploadsAllowed() {
  const ConsentState s = consentState();
  return s == ConsentState::kNotAsked || s == ConsentState::kGiven;
}
inline bool consentRevoked() { return consentState() == ConsentState::kRevoked; }

// Consent is asked for: a state of kNotAsked becomes kUnknown until the record or the
// application says otherwise. Before the first initialisation.
void requireConsent();
// Sets the state, wakes the threads waiting for consent and, once the record has been
// loaded, writes it; before that the state is written when it is loaded (the call wins over
// the record). Returns the state before the call.
ConsentState setConsent(ConsentState state);
// Read once, at the first initialisation, once the data directory is settled: a record of an
// earlier run gives the state unless the application set one itself; a state asked for and
// not recorded (or set before now) is written. Returns the state then.
ConsentState loadConsentRecord();
// True once loadConsentRecord ran: before, an answer recorded by an earlier run is unknown.
bool consentRecordLoaded();
// The record's path in the data directory (for the deletion that leaves it alone).
std::string consentRecordPath();
inline constexpr const char* kConsentRecordName = "upload_consent";

// How many times consent was revoked in this process (for the owner of what only its own
// thread may delete: the send thread's open spool).
std::uint64_t revocationCount();

// Blocks the calling library thread while uploads are not allowed (consent unknown or
// revoked); returns at once when they are. With `revocationsSeen`, also returns once
// revocationCount() differs from it. Called with no library lock held.
void waitForUploadConsent(const std::uint64_t* revocationsSeen = nullptr);

}  // namespace zeplog::detail
