#include <errno.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "common/files.hpp"
#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

class DeviceIdTest : public test::LibraryTest {
 protected:
  // The device id as a fresh process sees it.
  std::string deviceIdInChildProcess() {
    int fds[2];
    if (::pipe(fds) != 0) return "<pipe>";
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(fds[0]);
      std::string id = ZEPLog::getDeviceID().value_or("<none>");
      ssize_t n = ::write(fds[1], id.data(), id.size());
      ::_exit(n == static_cast<ssize_t>(id.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    std::string out;
    char buf[128];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return out;
  }
};

TEST_F(DeviceIdTest, StableAcrossProcessesAndMintedAnewWhenDeleted) {
  const std::string first = deviceIdInChildProcess();
  ASSERT_EQ(first.size(), 36u);
  EXPECT_EQ(deviceIdInChildProcess(), first);
  EXPECT_EQ(ZEPLog::getDeviceID(), first);

  const std::string path = ZEPLog::dataFilePath();
  EXPECT_EQ(path, dataDir.path() + "/KST_iOS_DEVICE_ID");
  EXPECT_EQ(detail::readWholeFile(path), first);  // the id alone, no newline
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  std::filesystem::remove(path);
  const std::string second = deviceIdInChildProcess();
  EXPECT_EQ(second.size(), 36u);
  EXPECT_NE(second, first);
}

TEST_F(DeviceIdTest, DataDirectoryIsCreatedPrivate) {
  const std::string nested = dataDir.path() + "/a/b";
  ZEPLog::setDataDirectory(nested);
  ASSERT_TRUE(ZEPLog::getDeviceID().has_value());
  struct stat st {};
  ASSERT_EQ(::stat(nested.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

}  // namespace
}  // namespace zeplog

namespace zeplog {
namespace {

TEST(DeviceIdEmptyFile, AnEmptyFileIsReplacedByANewId) {
  test::TempDir dir;
  ZEPLog::setDataDirectory(dir.path());
  ASSERT_TRUE(detail::atomicWriteFile(ZEPLog::dataFilePath(), ""));
  const std::optional<std::string> id = ZEPLog::getDeviceID();
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(id->size(), 36u);
  EXPECT_EQ(detail::readWholeFile(ZEPLog::dataFilePath()), id);
}

// Each program has its own default directory, named after its executable, so two programs
// never read each other's files; without $HOME, the account's home, never a shared /tmp.
TEST(DataDirectory, TheDefaultIsThisProgramsOwnPerUserDirectory) {
  const std::string program = program_invocation_short_name;  // this test's executable
  struct Case {
    const char* xdg;
    const char* home;
    std::string expected;  // "" for the account's home, checked by its ending
  } cases[] = {
      {"/xdg", "/home/u", "/xdg/zeplog/" + program},
      {"relative", "/home/u", "/home/u/.local/share/zeplog/" + program},
      {nullptr, "/home/u/", "/home/u/.local/share/zeplog/" + program},
      {nullptr, nullptr, ""},
  };
  for (const Case& c : cases) {
    c.xdg ? ::setenv("XDG_DATA_HOME", c.xdg, 1) : ::unsetenv("XDG_DATA_HOME");
    c.home ? ::setenv("HOME", c.home, 1) : ::unsetenv("HOME");
    const std::string dir = detail::documentsDirectory();
    if (!c.expected.empty()) {
      EXPECT_EQ(dir, c.expected);
    } else {
      EXPECT_EQ(dir.rfind("/tmp", 0), std::string::npos) << dir;
      if (!dir.empty()) {
        EXPECT_TRUE(dir.ends_with("/.local/share/zeplog/" + program)) << dir;
      }
    }
  }
}

}  // namespace
}  // namespace zeplog
