// Entry points of the send thread, the send filter, the collector transport and sessions.
#include "common/guard.hpp"
#include "delivery/collector_transport.hpp"
#include "delivery/send_filter.hpp"
#include "delivery/send_thread.hpp"
#include "delivery/session.hpp"
#include "facade/environment_config.hpp"
#include "transport/http_client.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {

bool ZEPLog::createLogSendThread() noexcept {
  return detail::guarded<bool>("createLogSendThread", false,
                               [] { return detail::createLogSendThread(); });
}

bool ZEPLog::checkSendStatus(const VelaEventPtr& event,
                             const std::shared_ptr<kstVelaHandle>& handle) noexcept {
  return detail::guarded<bool>("checkSendStatus", false,
                               [&] { return detail::checkSendStatus(event, handle); });
}

void ZEPLog::InsertQueue(Text key, std::int32_t value) noexcept {
  detail::guarded("InsertQueue", [&] { detail::InsertQueue(key, value); });
}

void ZEPLog::sendVelaEventByRestAPI() noexcept {
  detail::guarded("sendVelaEventByRestAPI", [] { detail::sendVelaEventByRestAPI(); });
}

void ZEPLog::sendVelaEventByRestAPI(Text json, Text handleId) noexcept {
  detail::guarded("sendVelaEventByRestAPI",
                  [&] { detail::sendVelaEventByRestAPI(std::string(json.view()), handleId); });
}

void ZEPLog::regenerateSession(const VelaEventPtr& crashEvent, std::vector<VelaEventPtr>& batch,
                               const std::shared_ptr<kstVelaHandle>& handle) noexcept {
  detail::guarded("regenerateSession", [&] {
    detail::GlobalLock lock(detail::global_resource_lock());
    detail::regenerateSession(crashEvent, batch, handle);
  });
}

void ZEPLog::setTrustedCertificates(std::string path) noexcept {
  detail::guarded("setTrustedCertificates", [&] {
    detail::markExplicit(detail::ConfigItem::kTrustedCertificates);
    detail::setTrustedCertificates(std::move(path));
  });
}

}  // namespace zeplog
