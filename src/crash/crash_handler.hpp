// The in-process crash handler: what runs inside the signal handler of a crashing thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace zeplog::detail {

// Where the handler writes and whom it wakes. Set once, before the handlers are installed.
struct CrashHandlerSetup {
  std::string dataDirectory;  // made by the handler (mkdir) when it is missing
  std::string reportPath;     // the pending report of this process
  std::string tempPath;       // written first, then renamed to reportPath
  std::string minidumpPath;   // the minidump beside the report; "" for none
  std::string minidumpTempPath;
  int wakeFd = -1;  // the handler writes one byte here to start the upload
  int doneFd = -1;  // the upload thread writes one byte here when it has finished
};

// Everything the crash path hands from the handler to the upload thread; written by the
// handler before it wakes the upload thread (the pipe orders the accesses).
struct CrashHandOff {
  std::atomic<std::int64_t> crashMonotonicNs{0};  // when the handler started; 0 before
  std::atomic<bool> crashedThreadHeldGlobalLock{false};
};

// The whole hand-off, crash detection to the re-raise, is bounded by this.
constexpr std::int64_t kCrashHandOffBoundNs = 15'000'000'000;

// Installs the handlers of the crash signals and of the thread-backtrace signal, the
// terminate handler, and an alternate signal stack for the calling thread. Once per
// process; false with error text when a handler can't be installed.
bool installCrashHandlers(const CrashHandlerSetup& setup, std::string* error);
// In a forked child: forgets a crash the parent was handling and the parent's upload
// thread. Called before the child's own upload thread starts (which records itself).
void forgetParentCrashStateInChild();
// In a forked child of a process whose handlers are installed: points them at the child's
// own report, upload thread and answer pipe.
// The signal handlers themselves are inherited and stay. Until this runs, a crash in the
// child is passed on as if no handler were installed.
bool rearmCrashHandlersInChild(const CrashHandlerSetup& setup, std::string* error);
// The upload thread's kernel id: a crash on that thread does not wait for itself.
void setCrashUploadThreadId(pid_t tid);
const CrashHandOff& crashHandOff();

// Monotonic clock in nanoseconds (async-signal-safe).
std::int64_t monotonicNs();
// Waits until fd is readable or the monotonic clock reaches untilNs, through interrupted
// polls (async-signal-safe). True when fd became readable.
bool waitReadableUntil(int fd, std::int64_t untilNs);

}  // namespace zeplog::detail
