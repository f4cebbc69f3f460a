// The crash event of handle "0": building it from the crash text and posting it, and the
// minidump upload. Used by the crash upload (crash_capture.cpp) on its own threads; every call
// is bounded by its SendContext and none runs in a signal handler.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "crash/crash_capture.hpp"
#include "crash/crash_send_context.hpp"
#include "crash/minidump_upload.hpp"
#include "zeplog/text.hpp"

namespace zeplog::detail {

// What became of one report or minidump.
enum class SendOutcome { Sent, Kept, Dropped, None };

// Where a crash event goes: a handle's collector.
struct CrashPostTarget {
  std::string collectorUrl;
  std::int64_t collectorPort = 0;
  std::int64_t protocol = 0;  // 0 = HTTPS, anything else HTTP
};

// A crash event ready to post: its JSON object, where it goes, and the identity a minidump
// of the same crash is uploaded with.
struct CrashEvent {
  std::string json;
  CrashPostTarget target;
  FormFields identity;
};

// The target of handle "0" now, or none before initialisation or without that handle.
std::optional<CrashPostTarget> crashTarget(SendContext& context);

// Builds the crash event of handle "0" from the crash text, with this run's identity (project,
// version, user, session and custom fields); sendTime in milliseconds since the epoch.
std::optional<CrashEvent> buildCrashEvent(SendContext& context, std::string_view data,
                                          Text errorCode, Text logBody, std::int64_t sendTime,
                                          std::string_view breadcrumbs = {});

// Posts a built crash event within what is left of the context's time: to the collector
// and to the OTLP exporters, as registered. True when every request was answered 200.
bool postBuiltCrashEvent(const SendContext& context, const CrashEvent& event);

// Uploads one minidump with identity (when empty: the identity kept beside it) and deletes
// both once the server took it. One that is not taken stays, with the identity it was to be
// sent with, for the next start. Without an upload URL minidumps stay on disk.
SendOutcome sendMinidumpIn(const SendContext& context, const MinidumpSettings& settings,
                           const std::string& path, FormFields identity);

}  // namespace zeplog::detail
