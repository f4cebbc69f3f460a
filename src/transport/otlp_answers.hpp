// What the answers of an OTLP request settle.
#pragma once

#include <vector>

#include "transport/otlp_exporters.hpp"

namespace zeplog::detail {

// Settles the answers to one OTLP request: counts the records that 200 answers report as
// rejected (Counters::otlpRejected) and writes the server's message in a console line at
// most once a minute. True when every exporter answered 200.
bool settleOtlpAnswers(const std::vector<OtlpAnswer>& answers);

}  // namespace zeplog::detail
