// zeplog-collector: the development collector as a command-line program.
//
//   zeplog-collector [--host ADDR] [--port N] [--port-file PATH] [--db PATH]
//                    [--settings PATH] [--log-status N] [--log-delay-ms N]
//                    [--settings-status N] [--settings-delay-ms N] [--minidump-dir PATH]
//                    [--quiet]
//   zeplog-collector --dump --db PATH
//
// Serves until SIGINT or SIGTERM. --port 0 (the default) picks a free port; --port-file
// receives the port once the server listens, so a script can wait for that file.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "dev_collector.hpp"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: zeplog-collector [--host ADDR] [--port N] [--port-file PATH] [--db PATH]\n"
               "                        [--settings PATH] [--log-status N] [--log-delay-ms N]\n"
               "                        [--settings-status N] [--settings-delay-ms N]\n"
               "                        [--minidump-dir PATH] [--quiet]\n"
               "       zeplog-collector --dump --db PATH\n");
}

bool parseInt(const char* text, int& out) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (!*text || *end || v < 0 || v > 1000000000) return false;
  out = static_cast<int>(v);
  return true;
}

// Writes the port to path through a temporary file and a rename, so a reader never sees a
// half-written number.
bool writePortFile(const std::string& path, int port) {
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << port << "\n";
    if (!out.flush()) return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

// What the command line sets.
struct Arguments {
  zeplog::tools::CollectorOptions options;
  std::string portFile;
  bool quiet = false;
  bool dump = false;
};

// One option: its name and what its value (if it takes one) sets.
struct Option {
  const char* name;
  enum class Kind { kText, kNumber, kSwitch } kind;
  void (*apply)(Arguments& args, const char* text, int number);
};

constexpr Option kOptions[] = {
    {"--host", Option::Kind::kText, [](Arguments& a, const char* t, int) { a.options.host = t; }},
    {"--port", Option::Kind::kNumber, [](Arguments& a, const char*, int n) { a.options.port = n; }},
    {"--port-file", Option::Kind::kText, [](Arguments& a, const char* t, int) { a.portFile = t; }},
    {"--db", Option::Kind::kText,
     [](Arguments& a, const char* t, int) { a.options.databasePath = t; }},
    {"--settings", Option::Kind::kText,
     [](Arguments& a, const char* t, int) { a.options.settingsPath = t; }},
    {"--log-status", Option::Kind::kNumber,
     [](Arguments& a, const char*, int n) { a.options.logAnswer.status = n; }},
    {"--log-delay-ms", Option::Kind::kNumber,
     [](Arguments& a, const char*, int n) {
       a.options.logAnswer.delay = std::chrono::milliseconds(n);
     }},
    {"--settings-status", Option::Kind::kNumber,
     [](Arguments& a, const char*, int n) { a.options.settingsAnswer.status = n; }},
    {"--settings-delay-ms", Option::Kind::kNumber,
     [](Arguments& a, const char*, int n) {
       a.options.settingsAnswer.delay = std::chrono::milliseconds(n);
     }},
    {"--minidump-dir", Option::Kind::kText,
     [](Arguments& a, const char* t, int) { a.options.minidumpDir = t; }},
    {"--quiet", Option::Kind::kSwitch, [](Arguments& a, const char*, int) { a.quiet = true; }},
    {"--dump", Option::Kind::kSwitch, [](Arguments& a, const char*, int) { a.dump = true; }},
};

// Reads the command line into args; false (with its message) when it is wrong.
bool parseArguments(int argc, char** argv, Arguments& args) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const Option* option = nullptr;
    for (const Option& o : kOptions)
      if (arg == o.name) option = &o;
    if (!option) return usage(), false;
    const char* text = nullptr;
    int number = 0;
    if (option->kind != Option::Kind::kSwitch) {
      text = i + 1 < argc ? argv[++i] : nullptr;
      if (option->kind == Option::Kind::kNumber && (!text || !parseInt(text, number))) {
        std::fprintf(stderr, "zeplog-collector: %s needs a number\n", arg.c_str());
        return false;
      }
      if (!text) return usage(), false;
    }
    option->apply(args, text, number);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  if (!parseArguments(argc, argv, args)) return 2;
  zeplog::tools::CollectorOptions& options = args.options;
  const std::string& portFile = args.portFile;
  const bool quiet = args.quiet;
  const bool dump = args.dump;

  if (dump) {
    if (options.databasePath.empty()) return usage(), 2;
    std::string table, error;
    if (!zeplog::tools::dumpDatabase(options.databasePath, table, &error)) {
      std::fprintf(stderr, "zeplog-collector: %s\n", error.c_str());
      return 1;
    }
    std::fputs(table.c_str(), stdout);
    return 0;
  }

  if (!quiet) {
    options.arrivalSink = [](const std::string& line) {
      std::printf("[collector] %s\n", line.c_str());
      std::fflush(stdout);
    };
  }

  // The signals are taken by sigwait below, never by a handler on a server thread.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  zeplog::tools::DevCollector collector(options);
  std::string error;
  if (!collector.start(&error)) {
    std::fprintf(stderr, "zeplog-collector: %s\n", error.c_str());
    return 1;
  }
  std::printf("[collector] listening on %s (database %s)\n", collector.baseUrl().c_str(),
              options.databasePath.empty() ? "in memory" : options.databasePath.c_str());
  std::fflush(stdout);
  if (!portFile.empty() && !writePortFile(portFile, collector.port())) {
    std::fprintf(stderr, "zeplog-collector: cannot write %s: %s\n", portFile.c_str(),
                 std::strerror(errno));
    return 1;
  }

  int signal = 0;
  sigwait(&stopSignals, &signal);
  collector.stop();
  std::printf("[collector] stopped\n");
  return 0;
}
