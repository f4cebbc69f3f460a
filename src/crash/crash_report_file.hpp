// Pending crash reports on disk: the handler's report text, its parser, and the files.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zeplog/crash_report.hpp"

namespace zeplog::detail {

// Parses a report written by the crash handler into the report record; nothing when the
// data is not such a report. A report cut short (no end marker) still gives what it holds.
std::optional<CrashReport> parseCrashReport(std::string_view data);

// The "Breadcrumbs" field of a report: its "crumb" lines as breadcrumbLine() makes them, one
// per line, oldest first; "" when it has none.
std::string breadcrumbsOfReport(std::string_view data);

// "SIGSEGV" for 11; "#<n>" for a signal without a name here.
std::string signalName(int signal);
// "SEGV_MAPERR" for (SIGSEGV, 1), "SI_USER" for 0, "#<n>" for others.
std::string signalCodeName(int signal, int code);

// One pending report file. A report stays on disk until a send of it succeeds.
class PendingCrashReport {
 public:
  explicit PendingCrashReport(std::string path) : path_(std::move(path)) {}

  bool hasPendingCrashReport() const;
  // The report's bytes, or nothing with error text.
  std::optional<std::string> loadPendingCrashReportDataAndReturnError(std::string* error) const;
  // Deletes the report and the crash event kept beside it; true when the report is gone.
  bool purgePendingCrashReport() const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Names of this process's report files in the data directory. stamp tells this process
// apart from every earlier one, even with a reused process id.
struct CrashReportNames {
  std::string report;        // "crash-<pid>-<stamp>.zcr"
  std::string temp;          // "crash-<pid>-<stamp>.tmp"
  std::string minidump;      // "crash-<pid>-<stamp>.dmp"
  std::string minidumpTemp;  // "crash-<pid>-<stamp>.dmp.tmp"
};
CrashReportNames crashReportNames(long pid, long long stamp);

// Claims the reports (files ending in suffix: minidumps too) earlier processes left in dir (and
// claims of processes that died while sending one) for this process, by renaming them; another
// process starting at the same time claims each file at most once. Removes temporary files of dead
// processes. The claimed paths, oldest first.
std::vector<std::string> claimStaleCrashReports(const std::string& dir,
                                                const std::string& ownReportName,
                                                std::string_view suffix = ".zcr");
// Where the crash event built from a report is kept, beside the report: its pending name
// (without a claim) + ".event". Claims leave it where it is.
std::string crashEventPathFor(const std::string& reportPath);

// The minidump files: "<report's pending name less .zcr>.dmp", the identity kept beside it
// until it is uploaded (its pending name + ".fields"), the name it is uploaded under (its
// pending name without the folder).
inline constexpr std::string_view kMinidumpSuffix = ".dmp";
std::string minidumpNameFor(const std::string& reportName);
std::string minidumpFieldsPathFor(const std::string& minidumpPath);
std::string minidumpUploadName(const std::string& minidumpPath);

// Puts a claimed report back under its pending name, for the next start.
void releaseCrashReportClaim(const std::string& claimedPath);

}  // namespace zeplog::detail
