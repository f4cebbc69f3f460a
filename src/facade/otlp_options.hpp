// An exporter's settings, from the program or the environment, checked and made ready for
// its requests.
#pragma once

#include <optional>

#include "transport/otlp_exporters.hpp"
#include "zeplog/otlp_exporter.hpp"

namespace zeplog::detail {

// The target of the options: the logs URL made from the endpoint (or the endpoint as is,
// when endpointIsLogsURL), the headers as "Name: value", the timeout clamped to
// kShortestOtlpTimeout ... kLongestOtlpTimeout. None, with a console line starting with
// `caller`, for an endpoint that is not an http or https URL with a host, a header that is
// not allowed, a protocol or compression outside its enum, or a resource attribute with an
// empty key.
std::optional<OtlpTarget> otlpTargetOf(const OtlpExporterOptions& options, const char* caller,
                                       bool endpointIsLogsURL = false);

}  // namespace zeplog::detail
