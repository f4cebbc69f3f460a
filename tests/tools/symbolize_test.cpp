// zeplog-symbolize on a real crash of a stripped program whose debug information was split
// off into a build-id folder (objcopy --only-keep-debug), as a release build ships it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "support/test_env.hpp"

namespace zeplog {
namespace {

// Runs a shell command; its standard output, and its wait status in *status.
std::string run(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int s = ::pclose(p);
  if (status) *status = s;
  return out;
}

std::string firstFileEndingIn(const std::string& dir, const std::string& suffix) {
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().string().ends_with(suffix)) return e.path().string();
  return "";
}

// The lines of the crashed thread's first frame: the inlined function, then its caller.
std::string crashedFrame(const std::string& output) {
  const std::size_t at = output.find(" Crashed");
  if (at == std::string::npos) return "";
  const std::size_t first = output.find("#0", at);
  const std::size_t next = output.find("  #1", first);
  const std::size_t end = output.find("\n\n", first);
  return output.substr(first, std::min(next, end) - first);
}

struct Input {
  const char* name;
  bool report;
  bool minidump;
};

class SymbolizeTest : public ::testing::TestWithParam<Input> {};

TEST_P(SymbolizeTest, TheCrashingFrameNamesItsFileAndLineAndTheInlinedFunction) {
  const Input& input = GetParam();
  test::TempDir dir;
  const std::string app = dir.path() + "/app";
  const std::string debugDir = dir.path() + "/debug";
  ASSERT_EQ(
      std::system(("objcopy --only-keep-debug '" ZEPLOG_SYMBOLIZE_FIXTURE "' '" + app +
                   ".debug' && strip --strip-all -o '" + app + "' '" ZEPLOG_SYMBOLIZE_FIXTURE "'")
                      .c_str()),
      0);
  std::istringstream note(run("readelf -n '" + app + "' | sed -n 's/.*Build ID: //p'"));
  std::string buildId;
  note >> buildId;
  ASSERT_GT(buildId.size(), 2u);
  const std::string folder = debugDir + "/.build-id/" + buildId.substr(0, 2);
  std::filesystem::create_directories(folder);
  std::filesystem::rename(app + ".debug", folder + "/" + buildId.substr(2) + ".debug");

  int status = 0;
  // Under the sanitizers their own handlers stay out of the way, as in a build without them.
  std::istringstream lines(
      run("ASAN_OPTIONS=handle_segv=0:detect_leaks=0 TSAN_OPTIONS=handle_segv=0 '" + app + "' '" +
              dir.path() + "' 2>/dev/null",
          &status));
  int writeLine = 0, callLine = 0;
  lines >> writeLine >> callLine;
  ASSERT_TRUE(WIFSIGNALED(status) || WEXITSTATUS(status) == 128 + 11) << status;

  std::string command = ZEPLOG_SYMBOLIZE " --debug-dir '" + debugDir + "'";
  if (input.report) command += " '" + firstFileEndingIn(dir.path(), ".zcr") + "'";
  if (input.minidump) command += " '" + firstFileEndingIn(dir.path(), ".dmp") + "'";
  const std::string output = run(command + " 2>&1");
  const std::string frame = crashedFrame(output);
  const std::string file = "symbolize_fixture.cpp:";
  EXPECT_NE(frame.find("writeThrough at "), std::string::npos) << output;
  EXPECT_NE(frame.find(file + std::to_string(writeLine) + ":"), std::string::npos) << output;
  EXPECT_NE(frame.find("(inlined)"), std::string::npos) << output;
  EXPECT_NE(frame.find("crashInFixture at "), std::string::npos) << output;
  EXPECT_NE(frame.find(file + std::to_string(callLine) + ":"), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(Inputs, SymbolizeTest,
                         ::testing::Values(Input{"report", true, false},
                                           Input{"report_and_minidump", true, true},
                                           Input{"minidump", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zeplog
