// Entry points for the options of every request (compressed bodies, a proxy), for OTLP
// exporters and for durable delivery.
#include "transport/transport_options.hpp"
#include "common/caller_limits.hpp"
#include "common/console.hpp"
#include "common/guard.hpp"
#include "common/url.hpp"
#include "delivery/durable_delivery.hpp"
#include "event/global_state.hpp"
#include "facade/environment_config.hpp"
#include "facade/otlp_options.hpp"
#include "transport/http_client.hpp"
#include "transport/otlp_exporters.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

// The options are fixed before the first initialisation, so no request ever runs with half
// of a change.
bool refusedAfterInit(const char* name) {
  if (!detail::globals().gs_isInit.load()) return false;
  ZEP_CONSOLE(std::string(name) + " ignored: call it before the first initialisation");
  return true;
}

}  // namespace

bool ZEPLog::setRequestCompression(bool on) noexcept {
  return detail::guarded<bool>("setRequestCompression", false, [&] {
    if (refusedAfterInit("setRequestCompression")) return false;
    detail::setRequestCompression(on);
    return true;
  });
}

bool ZEPLog::setRequestCompression(Compression compression) noexcept {
  return detail::guarded<bool>("setRequestCompression", false, [&] {
    if (compression != Compression::None && compression != Compression::Gzip &&
        compression != Compression::Zstd) {
      ZEP_CONSOLE("setRequestCompression ignored: not None, Gzip or Zstd");
      return false;
    }
    if (refusedAfterInit("setRequestCompression")) return false;
    detail::setRequestCompression(compression);
    return true;
  });
}

bool ZEPLog::setProxy(Text url) noexcept {
  return detail::guarded<bool>("setProxy", false, [&] {
    // "" goes back to libcurl's environment rules; anything else must be an http or https
    // URL with a host.
    const std::string_view text = url.view();
    if (url.absent() || (!text.empty() && !detail::isHttpUrlWithHost(text))) {
      ZEP_CONSOLE("setProxy ignored: an http or https URL with a host (or \"\") is expected");
      return false;
    }
    if (refusedAfterInit("setProxy")) return false;
    detail::setProxyURL(std::string(text));
    return true;
  });
}

bool ZEPLog::addOtlpExporter(const OtlpExporter& options) noexcept {
  return detail::guarded<bool>("addOtlpExporter", false, [&] {
    // Programs built before the protocol setting get the JSON they were built for.
    OtlpExporterOptions all;
    all.endpoint = options.endpoint;
    all.headers = options.headers;
    all.alsoToCollector = options.alsoToCollector;
    all.protocol = OtlpProtocol::HttpJson;
    return addOtlpExporterWith(all);
  });
}

bool ZEPLog::addOtlpExporterWith(const OtlpExporterOptions& options) noexcept {
  return detail::guarded<bool>("addOtlpExporter", false, [&] {
    std::optional<detail::OtlpTarget> target = detail::otlpTargetOf(options, "addOtlpExporter");
    if (!target) return false;
    if (refusedAfterInit("addOtlpExporter")) return false;
    detail::markExplicit(detail::ConfigItem::kOtlpExporter);
    detail::addOtlpTarget(std::move(*target));
    return true;
  });
}

bool ZEPLog::enableDurableDelivery(const DurableDelivery& options) noexcept {
  return detail::guarded<bool>("enableDurableDelivery", false, [&] {
    if (options.maxBytes == 0 || options.maxAge.count() <= 0 || options.maxBackoff.count() <= 0) {
      ZEP_CONSOLE("enableDurableDelivery ignored: maxBytes, maxAge and maxBackoff must be above 0");
      return false;
    }
    if (refusedAfterInit("enableDurableDelivery")) return false;
    DurableDelivery clamped = options;
    clamped.maxBytes = std::min(options.maxBytes, detail::kLargestByteBound);
    clamped.maxAge = std::min(options.maxAge, detail::kLongestAge);
    clamped.maxBackoff = std::min(options.maxBackoff, detail::kLongestBackoff);
    detail::setDurableDelivery(clamped);
    return true;
  });
}

}  // namespace zeplog
