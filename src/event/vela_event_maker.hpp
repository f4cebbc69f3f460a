// The log call's event: one allocation that holds the event and its text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "zeplog/trace_context.hpp"
#include "zeplog/vela_event.hpp"

namespace zeplog::detail {

// The log call's event keeps its text in the allocation that holds it:
//
//   LogTail  message  level  errorCode  attributes  [TraceContext]
//
// text_ points at the message; the LogTail just before it says how many attribute bytes
// follow the error code (packed as attribute_blob.hpp says) and whether a trace context ends
// the run. Only the library reads that layout, through the accessors below.
struct LogTail {
  std::uint32_t attributeBytes = 0;
  std::uint8_t hasTrace = 0;
};

struct LogEventMaker {
  // Field room made with the dictionary: the level and error code, the common fields and
  // a handle's usual custom fields.
  static constexpr std::size_t kFieldRoom = 12;

  // An event (its identity still to be set) whose body is message and whose fields are "errorCode"
  // (left out when errorCode is "") and "logLevel", then the attributes and the trace ids, made on
  // first use. The texts are copied into the event's own allocation; they must be valid UTF-8
  // already (attributes as validPackedAttributes leaves them, none naming a library field).
  // hostDash: the host is "-", else absent.
  static VelaEventPtr make(std::string_view message, std::string_view level,
                           std::string_view errorCode, std::int64_t sendTime, bool hostDash,
                           std::string_view packedAttributes = {},
                           const TraceContext* trace = nullptr);

  // A log call's packed attributes and trace context, kept with its text for the event's
  // life: once its fields are made they are also fields, as text (a hook may change or drop
  // those; see unchangedAttribute). Empty or none for other events and copies.
  static std::string_view attributes(const VelaEvent& event) {
    if (!event.text_) return {};
    return std::string_view(attributesStart(event), tail(event).attributeBytes);
  }
  static std::optional<TraceContext> trace(const VelaEvent& event) {
    if (!event.text_ || tail(event).hasTrace == 0) return std::nullopt;
    return readTrace(attributesStart(event) + tail(event).attributeBytes);
  }

  // A trace context as kTraceBytes bytes, unaligned: the trace id, the span id, the flags.
  // An event's text and a staged log call's record both keep it so.
  static constexpr std::size_t kTraceBytes = 16 + 8 + 1;
  static void writeTrace(char* at, const TraceContext& trace) {
    std::memcpy(at, trace.traceId.data(), trace.traceId.size());
    std::memcpy(at + trace.traceId.size(), trace.spanId.data(), trace.spanId.size());
    at[trace.traceId.size() + trace.spanId.size()] = static_cast<char>(trace.flags);
  }
  static TraceContext readTrace(const char* at) {
    TraceContext trace;
    std::memcpy(trace.traceId.data(), at, trace.traceId.size());
    std::memcpy(trace.spanId.data(), at + trace.traceId.size(), trace.spanId.size());
    trace.flags = static_cast<std::uint8_t>(at[trace.traceId.size() + trace.spanId.size()]);
    return trace;
  }
  // The sizes of a log call's own text while the event's body or fields are still to be made
  // from it: reading them through body() or fields() would make them (an allocation each).
  struct PendingText {
    bool body = false;          // the body is still the message text
    std::size_t bodyBytes = 0;  // the message's size
    bool fields = false;        // the fields are still the level and error code
    std::size_t fieldCount = 0;
    std::size_t fieldBytes = 0;  // keys and values of those fields
  };
  static PendingText pendingText(const VelaEvent& event) {
    PendingText p;
    p.body = event.inlineBody_;
    p.bodyBytes = event.bodySize_;
    p.fields = event.inlineFields_;
    p.fieldCount = event.errorCodeSize_ != 0 ? 2 : 1;
    p.fieldBytes = std::size_t{event.levelSize_} + sizeof("logLevel") - 1;
    if (event.errorCodeSize_ != 0) p.fieldBytes += event.errorCodeSize_ + sizeof("errorCode") - 1;
    return p;
  }

  // A log call's body and fields read in place while they are still to be made from its text
  // (reading them through body() or fields() would make them); none once made, and for
  // other events. The texts are valid UTF-8; an error code of "" stands for no field.
  static std::optional<std::string_view> pendingBody(const VelaEvent& event) {
    if (!event.inlineBody_) return std::nullopt;
    return std::string_view(event.text_, event.bodySize_);
  }
  struct PendingFields {
    std::string_view errorCode;  // "errorCode", written first
    std::string_view level;      // "logLevel"
  };
  static std::optional<PendingFields> pendingFields(const VelaEvent& event) {
    if (!event.inlineFields_) return std::nullopt;
    const char* level = event.text_ + event.bodySize_;
    return PendingFields{std::string_view(level + event.levelSize_, event.errorCodeSize_),
                         std::string_view(level, event.levelSize_)};
  }

  static const LogTail& tail(const VelaEvent& event) {
    return *reinterpret_cast<const LogTail*>(event.text_ - sizeof(LogTail));
  }
  static const char* attributesStart(const VelaEvent& event) {
    return event.text_ + event.bodySize_ + event.levelSize_ + event.errorCodeSize_;
  }

  // Gives the event its identity; a pointer copy, cheap enough to run under a lock.
  static void setIdentity(VelaEvent& event, VelaEventIdentityPtr identity) {
    event.identity_ = std::move(identity);
  }
};

}  // namespace zeplog::detail
