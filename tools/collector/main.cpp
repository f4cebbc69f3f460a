// zeplog-collector: the development collector as a command-line program.
//
//   zeplog-collector [--host ADDR] [--port N] [--port-file PATH] [--db PATH]
//                    [--settings PATH] [--log-status N] [--log-delay-ms N]
//                    [--settings-status N] [--settings-delay-ms N] [--quiet]
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
               "                        [--settings-status N] [--settings-delay-ms N] [--quiet]\n"
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

}  // namespace

int main(int argc, char** argv) {
  zeplog::tools::CollectorOptions options;
  std::string portFile;
  bool quiet = false;
  bool dump = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    auto intValue = [&](int& out) {
      const char* v = value();
      if (!v || !parseInt(v, out)) {
        std::fprintf(stderr, "zeplog-collector: %s needs a number\n", arg.c_str());
        std::exit(2);
      }
    };
    int n = 0;
    if (arg == "--host") {
      const char* v = value();
      if (!v) return usage(), 2;
      options.host = v;
    } else if (arg == "--port") {
      intValue(options.port);
    } else if (arg == "--port-file") {
      const char* v = value();
      if (!v) return usage(), 2;
      portFile = v;
    } else if (arg == "--db") {
      const char* v = value();
      if (!v) return usage(), 2;
      options.databasePath = v;
    } else if (arg == "--settings") {
      const char* v = value();
      if (!v) return usage(), 2;
      options.settingsPath = v;
    } else if (arg == "--log-status") {
      intValue(options.logAnswer.status);
    } else if (arg == "--log-delay-ms") {
      intValue(n);
      options.logAnswer.delay = std::chrono::milliseconds(n);
    } else if (arg == "--settings-status") {
      intValue(options.settingsAnswer.status);
    } else if (arg == "--settings-delay-ms") {
      intValue(n);
      options.settingsAnswer.delay = std::chrono::milliseconds(n);
    } else if (arg == "--quiet") {
      quiet = true;
    } else if (arg == "--dump") {
      dump = true;
    } else {
      usage();
      return 2;
    }
  }

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
