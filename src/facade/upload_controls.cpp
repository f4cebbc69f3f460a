// Entry points for what leaves the machine: upload consent, sampling and the rate limit.
#include "facade/upload_controls.hpp"

#include <unistd.h>

#include <cmath>
#include <string>

#include "common/console.hpp"
#include "common/guard.hpp"
#include "common/upload_consent.hpp"
#include "crash/crash_capture.hpp"
#include "delivery/durable_delivery.hpp"
#include "facade/environment_config.hpp"
#include "queue/block_queue.hpp"
#include "queue/delete_kept.hpp"
#include "queue/log_submit.hpp"
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

bool ZEPLog::setSampleRate(Level level, double rate) noexcept {
  return detail::guarded<bool>("setSampleRate", false, [&] {
    detail::markExplicit(detail::ConfigItem::kSampleRate);
    return detail::applySampleRate(static_cast<int>(level), rate);
  });
}

bool ZEPLog::setRateLimit(double eventsPerSecond, std::uint32_t burst) noexcept {
  return detail::guarded<bool>("setRateLimit", false, [&] {
    detail::markExplicit(detail::ConfigItem::kRateLimit);
    return detail::applyRateLimit(eventsPerSecond, burst);
  });
}

namespace detail {

void loadUploadConsentAtFirstInit() {
  if (blockQueue()) return;  // not the first initialisation: the record was read then
  if (loadConsentRecord() == ConsentState::kRevoked) deleteKeptForRevokedConsent();
  // Capture armed before this initialisation left the earlier runs' reports for now.
  if (uploadsAllowed()) sendKeptCrashReports();
}

void deleteKeptForRevokedConsent() {
  if (kstVelaBlockQueue* queue = blockQueue()) {
    countUp(eventCounters().droppedByConsent, queue->discardEventsAndFiles());
  } else {
    kstVelaBlockQueue::deleteQueueFiles();
  }
  deleteSpoolDirectories(openSpoolDirectory());  // the open one: the send thread, woken
  deleteCrashReports();
  ::unlink(NetworkPulseStore::settingFilePath().c_str());
}

bool applySampleRate(int levelIndex, double rate) {
  if (levelIndex < 0 || levelIndex > 4) {
    ZEP_CONSOLE("setSampleRate refused: no such level " + std::to_string(levelIndex));
    return false;
  }
  if (std::isnan(rate)) {
    ZEP_CONSOLE("setSampleRate refused: the rate is NaN");
    return false;
  }
  if (rate < 0 || rate > 1) {
    ZEP_CONSOLE("setSampleRate : " + std::to_string(rate) + " is taken as " +
                (rate < 0 ? "0" : "1"));
  }
  setSampleRate(levelIndex, rate);
  return true;
}

bool applyRateLimit(double perSecond, std::uint32_t burst) {
  if (std::isnan(perSecond)) {
    ZEP_CONSOLE("setRateLimit refused: the rate is NaN");
    return false;
  }
  setRateLimit(perSecond, burst);
  return true;
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

int zeplog_set_sample_rate(zeplog_level level, double rate) {
  if (level < ZEPLOG_DEBUG || level > ZEPLOG_FATAL) {
    ZEP_CONSOLE("zeplog_set_sample_rate refused: no such level " +
                std::to_string(static_cast<int>(level)));
    return 0;
  }
  return ZEPLog::setSampleRate(static_cast<zeplog::Level>(level - ZEPLOG_DEBUG), rate) ? 1 : 0;
}

int zeplog_set_rate_limit(double events_per_second, uint32_t burst) {
  return ZEPLog::setRateLimit(events_per_second, burst) ? 1 : 0;
}

}  // extern "C"
