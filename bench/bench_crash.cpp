// Crash capture: crash-to-collector latency on loopback, and the cost of arming capture.
//
// Both are measured in real child processes (this program started again), because a crash
// ends its process and capture is armed once per process. Each repetition is one child:
//  - latency: the child initialises the library against a collector on 127.0.0.1, notes the
//    monotonic clock, and writes to a null pointer; the collector notes the clock when the
//    crash event's request arrives. Reported: the median of 20 crashes.
//  - arming: the child times ZEPLog::enableSendCrashReport() (the threads, pipes, handlers
//    and alternate stack) in isolation.
//  - minidumps: a child with 10 threads of its own crashes with minidumps off (argument 0)
//    or on (1); reported are how long the crashing process stays alive (from just before the
//    fault to the parent's waitpid) and, with minidumps on, the minidump's size.
// No peer library in Debian does in-process crash upload, so there is no side-by-side row.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <httplib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zeplog/zeplog.hpp"

namespace {

std::int64_t monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

int* volatile g_null = nullptr;

[[gnu::noinline]] void crashNow() { *g_null = 1; }

// The child's side; returns only when the program is no child.
void runChildIfAsked() {
  const char* mode = std::getenv("ZEPLOG_BENCH_CHILD");
  if (!mode) return;
  zeplog::ZEPLog::setConsoleHandler([](std::string_view) {});
  zeplog::ZEPLog::setDataDirectory(std::getenv("ZEPLOG_BENCH_DIR"));
  std::int64_t value = 0;
  if (std::string(mode) == "arm") {
    const std::int64_t start = monotonicNs();
    zeplog::ZEPLog::enableSendCrashReport();
    value = monotonicNs() - start;
    (void)!::write(1, &value, sizeof value);
    std::_Exit(0);
  }
  const bool tenThreads = std::string(mode).starts_with("threads");
  if (std::string(mode) == "threads-minidump" && !zeplog::ZEPLog::enableMinidumps({}))
    std::_Exit(5);
  // The main thread and 9 more, each parked with a few frames of its own.
  for (int i = 0; tenThreads && i < 9; ++i)
    std::thread([] {
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }).detach();
  const int port = std::atoi(std::getenv("ZEPLOG_BENCH_PORT"));
  if (!zeplog::ZEPLog::init("http://127.0.0.1", port, 1, "bench", "1", "u",
                            zeplog::CrashCapture::On))
    std::_Exit(3);
  value = monotonicNs();
  (void)!::write(1, &value, sizeof value);
  crashNow();
  std::_Exit(4);
}

// Starts this program as a child in mode; its standard output is returned for reading.
pid_t startChild(const char* mode, int port, const std::string& dir, int& out) {
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) return -1;
  const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string portText = std::to_string(port);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(p[1], 1);
    ::setenv("ZEPLOG_BENCH_CHILD", mode, 1);
    ::setenv("ZEPLOG_BENCH_DIR", dir.c_str(), 1);
    ::setenv("ZEPLOG_BENCH_PORT", portText.c_str(), 1);
    ::execl(exe.c_str(), exe.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(p[1]);
  out = p[0];
  return pid;
}

std::int64_t readValue(int fd) {
  std::int64_t value = -1;
  if (::read(fd, &value, sizeof value) != sizeof value) value = -1;
  return value;
}

std::string freshDirectory() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "zeplog-bench-XXXXXX").string();
  return ::mkdtemp(tmpl.data()) ? tmpl : std::string();
}

// The collector: notes when each crash event arrives.
struct Collector {
  httplib::Server server;
  std::thread thread;
  int port = 0;
  std::mutex lock;
  std::int64_t arrivedNs = 0;  // guarded by lock

  Collector() {
    server.Post("/v2/log", [this](const httplib::Request& req, httplib::Response& res) {
      const std::int64_t now = monotonicNs();
      if (req.body.find("\"DmpData\"") != std::string::npos) {
        std::lock_guard<std::mutex> g(lock);
        arrivedNs = now;
      }
      res.status = 200;
    });
    port = server.bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::yield();
  }
  ~Collector() {
    server.stop();
    thread.join();
  }
};

void BM_CrashToCollector(benchmark::State& state) {
  static Collector collector;
  const std::string dir = freshDirectory();
  for (auto _ : state) {
    {
      std::lock_guard<std::mutex> g(collector.lock);
      collector.arrivedNs = 0;
    }
    int out = -1;
    pid_t pid = startChild("crash", collector.port, dir, out);
    const std::int64_t crashedNs = readValue(out);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(out);
    std::int64_t arrived;
    {
      std::lock_guard<std::mutex> g(collector.lock);
      arrived = collector.arrivedNs;
    }
    if (crashedNs < 0 || arrived == 0 || !WIFSIGNALED(status)) {
      state.SkipWithError("the crash event did not arrive");
      break;
    }
    state.SetIterationTime(static_cast<double>(arrived - crashedNs) / 1e9);
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_CrashToCollector)
    ->Iterations(1)
    ->Repetitions(20)
    ->UseManualTime()
    ->ReportAggregatesOnly()
    ->Unit(benchmark::kMillisecond);

void BM_CrashAliveTime(benchmark::State& state) {
  static Collector collector;
  const bool minidump = state.range(0) != 0;
  double dumpBytes = 0;
  for (auto _ : state) {
    const std::string dir = freshDirectory();
    int out = -1;
    pid_t pid = startChild(minidump ? "threads-minidump" : "threads", collector.port, dir, out);
    const std::int64_t crashedNs = readValue(out);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const std::int64_t deadNs = monotonicNs();
    ::close(out);
    if (crashedNs < 0 || !WIFSIGNALED(status)) {
      state.SkipWithError("the child did not crash");
      break;
    }
    state.SetIterationTime(static_cast<double>(deadNs - crashedNs) / 1e9);
    for (const auto& e : std::filesystem::directory_iterator(dir))
      if (e.path().extension() == ".dmp") dumpBytes = static_cast<double>(e.file_size());
    std::filesystem::remove_all(dir);
  }
  state.counters["minidump_bytes"] = dumpBytes;
}
BENCHMARK(BM_CrashAliveTime)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Repetitions(20)
    ->UseManualTime()
    ->ReportAggregatesOnly()
    ->Unit(benchmark::kMillisecond);

void BM_ArmCapture(benchmark::State& state) {
  const std::string dir = freshDirectory();
  for (auto _ : state) {
    int out = -1;
    pid_t pid = startChild("arm", 0, dir, out);
    const std::int64_t ns = readValue(out);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(out);
    if (ns < 0) {
      state.SkipWithError("the child did not report");
      break;
    }
    state.SetIterationTime(static_cast<double>(ns) / 1e9);
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_ArmCapture)
    ->Iterations(1)
    ->Repetitions(20)
    ->UseManualTime()
    ->ReportAggregatesOnly()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  runChildIfAsked();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
