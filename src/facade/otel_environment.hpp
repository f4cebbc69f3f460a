// The OpenTelemetry SDK's standard environment (OTEL_*), as far as a logs exporter over
// OTLP/HTTP reads it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zeplog::detail {

// "key1=value1,key2=value2" with keys and values percent-decoded and trimmed of spaces and
// tabs; an empty item (",,", a trailing comma) is skipped. None for an item without "=" or
// with an empty key, or a "%" not followed by two hex digits.
std::optional<std::vector<std::pair<std::string, std::string>>> otelKeyValues(
    std::string_view text);

// Reads OTEL_EXPORTER_OTLP_[LOGS_]{ENDPOINT,HEADERS,PROTOCOL,COMPRESSION,TIMEOUT},
// OTEL_SERVICE_NAME, OTEL_RESOURCE_ATTRIBUTES and OTEL_SDK_DISABLED (docs/api.md). An endpoint
// adds an exporter unless the program added one itself (then the exporter variables are
// ignored with a line) or OTEL_SDK_DISABLED is "true"; the resource variables apply to every
// exporter, below the program's own attributes. A bad value is ignored with a line. Called
// once, at the first initialisation.
void applyOtelEnvironment(bool programAddedExporters);

}  // namespace zeplog::detail
