// Native crash capture and the crash upload.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "crash/minidump_upload.hpp"
#include "zeplog/text.hpp"

namespace zeplog::detail {

// Arms crash capture for the process: the crash-upload thread, the signal and terminate
// handlers, and a thread that sends the reports earlier runs left pending. Once per
// process; later calls do nothing. Does file I/O: never call it under global_resource_lock.
void enableSendCrashReport();

// What the crash path does with minidumps; off until set.
struct MinidumpSettings {
  bool write = false;
  std::string uploadUrl;  // "" keeps them on disk
  FormFields fields;      // sent after the crash's identity
};
// Sets the minidump settings before capture is armed; false once it is (the handler's files
// are fixed then).
bool setMinidumpSettings(MinidumpSettings settings);

// In a forked child of a process with capture armed: gives the child its own report file and
// crash-upload thread, so its crashes are reported too. Does nothing when capture is not
// armed. Does file I/O: never call it under global_resource_lock.
void rearmCrashCaptureInForkedChild();

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

// Upload consent given: sends, on a thread of its own, the reports kept on disk meanwhile
// (this run's and earlier runs'). Does nothing when capture is not armed.
void sendKeptCrashReports();
// Upload consent revoked: deletes every crash report in the data directory, with the crash
// events kept beside them and their temporaries.
void deleteCrashReports();

// The path of this process's pending report ("" before capture is armed).
std::string pendingCrashReportPath();

}  // namespace zeplog::detail
