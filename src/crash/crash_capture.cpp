// Native crash capture and the crash upload.
//
// Arming creates the crash-upload thread and installs the handlers (crash_handler.cpp).
// After a crash the handler writes this process's pending report, wakes the upload thread
// through a pipe and waits, bounded. The upload thread runs the application's crash block,
// saves the events still queued for the next start (saveQueuedEventsAtCrash), parses and formats
// the report, and POSTs one crash event of handle "0" to that handle's collector with the shared
// HTTP client, on its own thread and with its own request (the event: crash_post.cpp). A report
// stays on disk until a send of it has succeeded; the first arming in a later run sends whatever
// earlier runs left.
#include "crash/crash_capture.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/alt_signal_stack.hpp"
#include "common/clock.hpp"
#include "common/console.hpp"
#include "common/files.hpp"
#include "common/fork_locks.hpp"
#include "common/guard.hpp"
#include "common/upload_consent.hpp"
#include "crash/crash_handler.hpp"
#include "crash/crash_post.hpp"
#include "crash/crash_report_file.hpp"
#include "crash/symbolizer.hpp"
#include "crash/thread_capture.hpp"
#include "queue/block_queue.hpp"
#include "zeplog/json_reader.hpp"
#include "zeplog/vela_formatter.hpp"

namespace zeplog::detail {
namespace {

// The longest the crash upload waits for the crash-time save of the queued events.
constexpr std::int64_t kCrashSaveBoundNs = 3'000'000'000;

// Process-wide crash state; created once and never destroyed.
struct CrashState {
  ForkSafeMutex lock{ForkLockRank::kCrashState};
  bool armed = false;         // guarded by lock
  std::string reportPath;     // guarded by lock; set once while arming
  MinidumpSettings minidump;  // guarded by lock; fixed once capture is armed
  // The application's block; swapped whole, so the upload thread reads it without a lock
  // the crashed thread might hold.
  std::atomic<std::shared_ptr<const std::function<void()>>> crashBlock;
};

CrashState& state() {
  static auto* s = new CrashState;
  return *s;
}

// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_stateMadeAtLoad = (static_cast<void>(state()), true);

bool transportFileIn(SendContext& context, std::string_view data, Text errorCode, Text logBody) {
  std::optional<CrashEvent> event = buildCrashEvent(context, data, errorCode, logBody, nowMillis());
  return event && postBuiltCrashEvent(context, *event);
}

// The crash's time in milliseconds since the epoch, or now when the report has none.
std::int64_t crashTimeMillis(const CrashReport& report) {
  const auto since = report.systemInfo.timestamp.time_since_epoch();
  if (since.count() <= 0) return nowMillis();
  return std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
}

// Sends the crash event that the crashed run wrote beside its report, as it stands, to this
// run's collector. None when there is no such event (a report whose crash-time upload never
// ran), so the report is sent the ordinary way.
std::optional<bool> sendSavedCrashEvent(SendContext& context, const PendingCrashReport& pending) {
  const std::string path = crashEventPathFor(pending.path());
  if (!fileExists(path)) return std::nullopt;
  std::string error;
  std::optional<std::string> json = readWholeFile(path, &error);
  // Only a JSON object is sent: a damaged file falls back to the report itself.
  if (!json || !kstCJSONDeserializer().deserializeAsDictionary(std::string_view(*json))) {
    ZEP_CONSOLE("crash event beside " + pending.path() + " is unreadable" +
                (error.empty() ? "" : ": " + error));
    return std::nullopt;
  }
  std::optional<CrashPostTarget> target = crashTarget(context);
  if (!target) return false;
  ZEP_CONSOLE("call transportFile");
  return postBuiltCrashEvent(context, CrashEvent{std::move(*json), *target, {}});
}

// Loads, formats and sends one pending report. Sent and dropped reports are purged; a report
// that was not sent stays. The crash event's identity goes to *identity when it is built.
SendOutcome sendReportIn(SendContext& context, const PendingCrashReport& pending,
                         FormFields* identity = nullptr) {
  if (!pending.hasPendingCrashReport()) return SendOutcome::None;
  std::string error;
  std::optional<std::string> data = pending.loadPendingCrashReportDataAndReturnError(&error);
  if (!data) {
    ZEP_CONSOLE("Could not load crash report data: " + error);
    return SendOutcome::Kept;
  }
  std::optional<CrashReport> report = parseCrashReport(*data);
  if (!report) {
    pending.purgePendingCrashReport();
    return SendOutcome::Dropped;
  }
  symbolizeCrashReport(*report);
  const std::string text = kstVelaFormatter::stringValueForCrashReport(*report, 0);

  std::string errorCode;
  std::string summary;
  const std::string& signal = report->signalInfo.name;
  if (report->hasExceptionInfo()) {
    errorCode = report->exceptionInfo->exceptionName;
    summary = "signal: " + signal + ", exception: " + report->exceptionInfo->exceptionName +
              " raised by " + report->exceptionInfo->exceptionReason;
  } else {
    errorCode = signal;
    summary = "signal: " + signal;
  }
  if (text.empty()) {
    pending.purgePendingCrashReport();
    return SendOutcome::Dropped;
  }
  ZEP_CONSOLE("call transportFile");
  std::optional<CrashEvent> event = buildCrashEvent(
      context, text, errorCode, summary, crashTimeMillis(*report), breadcrumbsOfReport(*data));
  if (!event) return SendOutcome::Kept;
  if (identity) *identity = event->identity;
  // At the crash, the event is kept beside the report before it is sent: if the send fails,
  // a later run sends it as it stands, with the identity (version, user, session) of the
  // run that crashed rather than its own.
  if (context.crashTime) {
    std::string error;
    if (!atomicWriteFile(crashEventPathFor(pending.path()), event->json, &error))
      ZEP_CONSOLE("crash event not kept beside the report: " + error);
  }
  if (!postBuiltCrashEvent(context, *event)) return SendOutcome::Kept;
  pending.purgePendingCrashReport();
  return SendOutcome::Sent;
}

// A report of an earlier run: its saved crash event when there is one, else the report.
SendOutcome sendStaleReportIn(SendContext& context, const PendingCrashReport& pending) {
  if (std::optional<bool> sent = sendSavedCrashEvent(context, pending)) {
    if (!*sent) return SendOutcome::Kept;
    pending.purgePendingCrashReport();
    return SendOutcome::Sent;
  }
  return sendReportIn(context, pending);
}

void runCrashBlock() {
  std::shared_ptr<const std::function<void()>> block = state().crashBlock.load();
  if (block && *block) guarded("crash block", [&] { (*block)(); });
}

// Keeps the events still in memory (the main and failed-send queues) for the next start, in
// the queue files the background save writes, after what an earlier save of this run left
// there; the next start sends them as it sends any saved event, once. The save runs on a
// thread of its own: a queue lock or a ring slot may belong to the crashed thread, frozen in
// its handler, so the upload waits for it only within kCrashSaveBoundNs and the hand-off's
// deadline, then goes on (a save that is stuck ends with the process).
void saveQueuedEventsAtCrash(const SendContext& context) {
  kstVelaBlockQueue* queue = blockQueue();
  if (!queue) return;
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  try {
    std::thread([queue, done] {
      guarded("crash-time save", [&] { queue->saveToFile(kstVelaBlockQueue::EarlierSave::kKeep); });
      done->set_value();
    }).detach();
  } catch (const std::system_error& e) {
    ZEP_CONSOLE(std::string("crash-time save not started : ") + e.what());
    return;
  }
  const std::int64_t waitNs =
      std::min(kCrashSaveBoundNs, std::max<std::int64_t>(context.deadlineNs - monotonicNs(), 0));
  if (finished.wait_for(std::chrono::nanoseconds(waitNs)) != std::future_status::ready)
    ZEP_CONSOLE("crash-time save did not finish in time: the events in memory may be lost");
}

// The crash-upload thread: sleeps on the wake pipe, serves the one crash, answers on the
// done pipe.
void uploadThreadMain(int wakeRead, int doneWrite, const std::string& reportPath,
                      const std::string& minidumpPath, const MinidumpSettings& minidump) {
  installAltSignalStack();
  setCrashUploadThreadId(static_cast<pid_t>(::syscall(SYS_gettid)));
  for (;;) {
    char byte = 0;
    ssize_t n = ::read(wakeRead, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    guarded("crash upload", [&] {
      runCrashBlock();
      if (consentRevoked()) {  // nothing is kept or sent: the report goes, the queues stay
        PendingCrashReport(reportPath).purgePendingCrashReport();
        return;
      }
      SendContext context = SendContext::atCrash();
      saveQueuedEventsAtCrash(context);
      FormFields identity;
      sendReportIn(context, PendingCrashReport(reportPath), &identity);
      if (!minidumpPath.empty()) sendMinidumpIn(context, minidump, minidumpPath, identity);
    });
    (void)!::write(doneWrite, &byte, 1);
  }
}

// Sends the reports earlier runs left; one that can't be sent now waits for the next start.
void sendStaleReports(const std::string& dir, const std::string& ownName,
                      const MinidumpSettings& minidump) {
  installAltSignalStack();
  // Without upload consent the reports stay as they are; giving it runs this again. Before
  // the first initialisation read the consent record (capture armed before it), an earlier
  // run's answer is not known yet: that initialisation runs this again.
  if (!uploadsAllowed() || !consentRecordLoaded()) return;
  guarded("pending crash reports", [&] {
    for (const std::string& claimed : claimStaleCrashReports(dir, ownName)) {
      SendContext context = SendContext::ordinary();
      if (sendStaleReportIn(context, PendingCrashReport(claimed)) == SendOutcome::Kept)
        releaseCrashReportClaim(claimed);
    }
    if (minidump.uploadUrl.empty()) return;
    for (const std::string& claimed :
         claimStaleCrashReports(dir, minidumpNameFor(ownName), kMinidumpSuffix)) {
      SendContext context = SendContext::ordinary();
      if (sendMinidumpIn(context, minidump, claimed, {}) != SendOutcome::Sent)
        releaseCrashReportClaim(claimed);
    }
  });
}

// Names this process's report, starts its upload thread and fills setup with both. False
// with error text when a pipe can't be made.
bool prepareReportTargets(CrashHandlerSetup& setup, std::string* error) {
  if (!ensureDataDirectory(error)) return false;
  const std::string dir = documentsDirectory();
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const CrashReportNames names =
      crashReportNames(static_cast<long>(::getpid()),
                       static_cast<long long>(now.tv_sec) * 1'000'000'000 + now.tv_nsec);
  const std::string reportPath = joinPath(dir, names.report);
  MinidumpSettings minidump;
  {
    std::lock_guard<std::mutex> guard(state().lock);
    state().reportPath = reportPath;
    minidump = state().minidump;
  }
  if (minidump.write && !kMinidumpSupported)
    ZEP_CONSOLE("minidumps are not written on this architecture: text reports only");
  const bool writeMinidump = minidump.write && kMinidumpSupported;
  const std::string minidumpPath = writeMinidump ? joinPath(dir, names.minidump) : "";

  int wake[2], done[2];
  if (::pipe2(wake, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  if (::pipe2(done, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    ::close(wake[0]);
    ::close(wake[1]);
    return false;
  }
  // The thread outlives every owner: it is detached and serves until the process ends.
  std::thread(uploadThreadMain, wake[0], done[1], reportPath, minidumpPath, minidump).detach();

  setup.dataDirectory = dir;
  setup.reportPath = reportPath;
  setup.tempPath = joinPath(dir, names.temp);
  setup.minidumpPath = minidumpPath;
  setup.minidumpTempPath = writeMinidump ? joinPath(dir, names.minidumpTemp) : "";
  setup.wakeFd = wake[1];
  setup.doneFd = done[0];
  return true;
}

MinidumpSettings currentMinidumpSettings() {
  std::lock_guard<std::mutex> guard(state().lock);
  return state().minidump;
}

bool armCapture(std::string* error) {
  CrashHandlerSetup setup;
  if (!prepareReportTargets(setup, error)) return false;
  if (!installCrashHandlers(setup, error)) return false;
  const std::string ownName = setup.reportPath.substr(setup.reportPath.rfind('/') + 1);
  std::thread(sendStaleReports, setup.dataDirectory, ownName, currentMinidumpSettings()).detach();
  return true;
}

}  // namespace

void enableSendCrashReport() {
  {
    std::lock_guard<std::mutex> guard(state().lock);
    if (state().armed) return;
    state().armed = true;
  }
  try {
    std::string error;
    if (!armCapture(&error)) ZEP_CONSOLE("Warning: Could not enable crash reporter: " + error);
  } catch (const std::exception& e) {
    ZEP_CONSOLE(std::string("Failed to enable crash report:") + e.what());
  }
}

bool setMinidumpSettings(MinidumpSettings settings) {
  std::lock_guard<std::mutex> guard(state().lock);
  if (state().armed) return false;
  state().minidump = std::move(settings);
  return true;
}

void rearmCrashCaptureInForkedChild() {
  {
    std::lock_guard<std::mutex> guard(state().lock);
    if (!state().armed) return;
  }
  try {
    // Earlier runs' reports are the parent's to send; only this process's own are set up.
    forgetParentCrashStateInChild();
    std::string error;
    CrashHandlerSetup setup;
    if (!prepareReportTargets(setup, &error) || !rearmCrashHandlersInChild(setup, &error))
      ZEP_CONSOLE("Warning: Could not enable crash reporter: " + error);
  } catch (const std::exception& e) {
    ZEP_CONSOLE(std::string("Failed to enable crash report:") + e.what());
  }
}

void setCrashBlock(std::function<void()> block) {
  state().crashBlock.store(block ? std::make_shared<const std::function<void()>>(std::move(block))
                                 : nullptr);
}

void velaSendCrash(void* /*context*/) {
  runCrashBlock();
  sendCrashReport();
}

void sendCrashReport() {
  guarded("sendCrashReport", [] {
    const std::string path = pendingCrashReportPath();
    if (path.empty()) return;
    SendContext context = SendContext::ordinary();
    sendReportIn(context, PendingCrashReport(path));
  });
}

bool transportFile(Text /*fileName*/, const void* fileData, std::uint32_t fileSize, Text errorCode,
                   Text logBody) {
  return guarded<bool>("transportFile", false, [&] {
    std::string_view data(static_cast<const char*>(fileData), fileData ? fileSize : 0);
    SendContext context = SendContext::ordinary();
    return transportFileIn(context, data, errorCode, logBody);
  });
}

void sendKeptCrashReports() {
  guarded("sendKeptCrashReports", [] {
    std::string reportPath;
    {
      std::lock_guard<std::mutex> guard(state().lock);
      if (!state().armed) return;
      reportPath = state().reportPath;
    }
    if (reportPath.empty()) return;
    const std::size_t slash = reportPath.rfind('/');
    std::thread(sendStaleReports, reportPath.substr(0, slash), reportPath.substr(slash + 1),
                currentMinidumpSettings())
        .detach();
  });
}

void deleteCrashReports() {
  guarded("deleteCrashReports", [] {
    const std::string dir = documentsDirectory();
    if (dir.empty()) return;
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
      while (const dirent* e = ::readdir(d))
        if (std::string_view(e->d_name).starts_with("crash-")) names.emplace_back(e->d_name);
      ::closedir(d);
    }
    for (const std::string& name : names) ::unlink(joinPath(dir, name).c_str());
  });
}

std::string pendingCrashReportPath() {
  std::lock_guard<std::mutex> guard(state().lock);
  return state().reportPath;
}

}  // namespace zeplog::detail
