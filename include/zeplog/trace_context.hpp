// The trace and span a log call was made in (W3C Trace Context).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "zeplog/export.hpp"

namespace zeplog {

// A trace id, a span id and the trace flags, as carried by a W3C `traceparent` header.
// Valid when neither id is all zeros; a log call made while a thread's context is set
// carries it ("traceId" and "spanId" in hex on the collector's events; traceId, spanId and
// flags on OTLP records).
struct TraceContext {
  std::array<std::uint8_t, 16> traceId{};
  std::array<std::uint8_t, 8> spanId{};
  std::uint8_t flags = 0;  // bit 0: sampled

  bool valid() const noexcept {
    bool trace = false;
    bool span = false;
    for (std::uint8_t b : traceId) trace = trace || b != 0;
    for (std::uint8_t b : spanId) span = span || b != 0;
    return trace && span;
  }

  // Reads "00-<32 hex trace id>-<16 hex span id>-<2 hex flags>". Version 00 must be exactly
  // that long; a later version may append "-..." fields, which are ignored. None for version
  // "ff", hex in upper case, an all-zero id or any other departure.
  ZEPLOG_API static std::optional<TraceContext> fromTraceparent(std::string_view header) noexcept;

  friend bool operator==(const TraceContext&, const TraceContext&) = default;
};

}  // namespace zeplog
