// Native crash capture and the crash upload.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "zeplog/text.hpp"

namespace zeplog::detail {

// Where a crash event goes: a handle's collector.
struct CrashPostTarget {
  std::string collectorUrl;
  std::int64_t collectorPort = 0;
  std::int64_t protocol = 0;  // 0 = HTTPS, 1 = HTTP
};
// Posts body (a JSON array) to the target's "v2/log" within timeout (the whole request);
// true only when the collector answered 200. Called on the crash-upload thread, never under
// global_resource_lock.
using CrashTransport = std::function<bool(const CrashPostTarget& target, const std::string& body,
                                          std::chrono::milliseconds timeout)>;
// Wired by the facade before capture is armed.
void setCrashTransport(CrashTransport transport);

// Arms crash capture for the process: the crash-upload thread, the signal and terminate
// handlers, and a thread that sends the reports earlier runs left pending. Once per
// process; later calls do nothing. Does file I/O: never call it under global_resource_lock.
void enableSendCrashReport();

// The application's crash block: runs once on the crash-upload thread after a crash, before
// the report is sent. An empty function clears it.
void setCrashBlock(std::function<void()> block);

// The crash hand-off: runs the crash block, then sends this process's pending report.
void velaSendCrash(void* context);
// Sends this process's pending report, if there is one, and purges it once it is sent.
void sendCrashReport();
// Builds the crash event of handle "0" from the crash text and POSTs it at once; true when
// the collector took it.
bool transportFile(Text fileName, const void* fileData, std::uint32_t fileSize, Text errorCode,
                   Text logBody);

// The path of this process's pending report ("" before capture is armed).
std::string pendingCrashReportPath();

}  // namespace zeplog::detail
