// Entry points for what leaves the machine: upload consent.
#include "facade/upload_controls.hpp"

#include <unistd.h>

#include <string>

#include "common/console.hpp"
#include "common/guard.hpp"
#include "common/upload_consent.hpp"
#include "crash/crash_capture.hpp"
#include "facade/environment_config.hpp"
#include "queue/block_queue.hpp"
#include "queue/delete_kept.hpp"
#include "queue/queue_counters.hpp"
#include "settings/network_pulse_store.hpp"
#include "zeplog/zeplog.h"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

detail::ConsentState stateOf(Consent c) {
  switch (c) {
    case Consent::Given:
      return detail::ConsentState::kGiven;
    case Consent::Revoked:
      return detail::ConsentState::kRevoked;
    default:
      return detail::ConsentState::kUnknown;
  }
}

}  // namespace

bool ZEPLog::requireUploadConsent() noexcept {
  return detail::guarded<bool>("requireUploadConsent", false, [] {
    if (detail::blockQueue()) {
      ZEP_CONSOLE("requireUploadConsent refused: only before the first initialisation");
      return false;
    }
    detail::markExplicit(detail::ConfigItem::kConsent);
    detail::requireConsent();
    return true;
  });
}

void ZEPLog::setUploadConsent(Consent consent) noexcept {
  detail::guarded("setUploadConsent", [&] {
    detail::markExplicit(detail::ConfigItem::kConsent);
    const detail::ConsentState before = detail::setConsent(stateOf(consent));
    // Before the first initialisation the data directory is not settled yet: what is kept
    // there is deleted, or sent, by that initialisation.
    if (!detail::blockQueue()) return;
    if (consent == Consent::Revoked) {
      detail::deleteKeptForRevokedConsent();
    } else if (consent == Consent::Given && before != detail::ConsentState::kGiven) {
      // The send, settings and probe threads wake by themselves; crash reports are sent by
      // a thread started here.
      detail::sendKeptCrashReports();
    }
  });
}

Consent ZEPLog::uploadConsent() noexcept {
  return detail::guarded<Consent>("uploadConsent", Consent::Given, [] {
    switch (detail::consentState()) {
      case detail::ConsentState::kUnknown:
        return Consent::Unknown;
      case detail::ConsentState::kRevoked:
        return Consent::Revoked;
      default:
        return Consent::Given;
    }
  });
}

namespace detail {

void loadUploadConsentAtFirstInit() {
  if (blockQueue()) return;  // not the first initialisation: the record was read then
  if (loadConsentRecord() == ConsentState::kRevoked) deleteKeptForRevokedConsent();
}

void deleteKeptForRevokedConsent() {
  if (kstVelaBlockQueue* queue = blockQueue()) {
    countUp(eventCounters().droppedByConsent, queue->discardEventsAndFiles());
  } else {
    kstVelaBlockQueue::deleteQueueFiles();
  }
  deleteSpoolDirectories();
  deleteCrashReports();
  ::unlink(NetworkPulseStore::settingFilePath().c_str());
}

}  // namespace detail
}  // namespace zeplog

// ---- The C forms ------------------------------------------------------------------------------

using zeplog::ZEPLog;

extern "C" {

int zeplog_require_upload_consent(void) { return ZEPLog::requireUploadConsent() ? 1 : 0; }

void zeplog_set_upload_consent(zeplog_consent consent) {
  switch (consent) {
    case ZEPLOG_CONSENT_UNKNOWN:
      ZEPLog::setUploadConsent(zeplog::Consent::Unknown);
      return;
    case ZEPLOG_CONSENT_GIVEN:
      ZEPLog::setUploadConsent(zeplog::Consent::Given);
      return;
    case ZEPLOG_CONSENT_REVOKED:
      ZEPLog::setUploadConsent(zeplog::Consent::Revoked);
      return;
  }
  ZEP_CONSOLE("zeplog_set_upload_consent refused: no such state " +
              std::to_string(static_cast<int>(consent)));
}

zeplog_consent zeplog_upload_consent(void) {
  switch (ZEPLog::uploadConsent()) {
    case zeplog::Consent::Unknown:
      return ZEPLOG_CONSENT_UNKNOWN;
    case zeplog::Consent::Revoked:
      return ZEPLOG_CONSENT_REVOKED;
    default:
      return ZEPLOG_CONSENT_GIVEN;
  }
}

}  // extern "C"
