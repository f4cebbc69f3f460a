#include "support/child_process.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>

extern char** environ;

// A program that starts crashing children (every user of startChild): under the sanitizers
// the crash signals must reach the library's handlers, and their default actions must end
// the process, as in an application built without them.
extern "C" const char* __asan_default_options() {
  return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:"
         "detect_leaks=0";
}
extern "C" const char* __tsan_default_options() {
  return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0";
}

namespace zeplog::test {

ChildRun startChild(const std::string& childTest, const std::vector<std::string>& variables,
                    const std::string& variablePrefix, const std::string& consolePath) {
  std::vector<std::string> env = variables;
  for (char** e = environ; *e; ++e) {
    if (!std::string_view(*e).starts_with(variablePrefix)) env.emplace_back(*e);
  }
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string filter = "--gtest_filter=" + childTest;
  std::string noCatch = "--gtest_catch_exceptions=0";
  char* argv[] = {exe.data(), filter.data(), noCatch.data(), nullptr};
  int in[2] = {-1, -1};
  ChildRun run;
  run.consolePath = consolePath;
  if (::pipe2(in, O_CLOEXEC) != 0) return run;
  const int err = ::open(consolePath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  run.pid = ::fork();
  if (run.pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(err, 2);
    ::execve(exe.c_str(), argv, envp.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(err);
  run.inputFd = in[1];
  return run;
}

void finishChild(ChildRun& run) {
  if (run.inputFd >= 0) ::close(run.inputFd);
  run.inputFd = -1;
  if (run.pid > 0) ::waitpid(run.pid, &run.status, 0);
  std::ifstream in(run.consolePath);
  std::stringstream text;
  text << in.rdbuf();
  run.console = text.str();
}

}  // namespace zeplog::test
