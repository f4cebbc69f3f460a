// The settings file: atomic replacement, its mode, and what reads back.
#include "settings/network_pulse_store.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>

#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

using SettingsFileTest = test::LibraryTest;

std::vector<std::string> namesIn(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") out.push_back(e->d_name);
    ::closedir(d);
  }
  return out;
}

TEST_F(SettingsFileTest, SavingReplacesTheFileAtomicallyWithMode0600) {
  const std::string path = NetworkPulseStore::settingFilePath();
  EXPECT_EQ(path, dataDir.path() + "/KST_iOS_SETTING_FILE");
  EXPECT_EQ(NetworkPulseStore::performanceLoad(), std::nullopt);  // no file yet

  NetworkPulseStore::performanceSave(std::string(R"({"status":200})"));
  struct stat first {};
  ASSERT_EQ(::stat(path.c_str(), &first), 0);
  EXPECT_EQ(first.st_mode & 0777, 0600u);
  EXPECT_EQ(NetworkPulseStore::performanceLoad(), R"({"status":200})");

  // A new answer comes in as a new file renamed over the old one, never by rewriting the
  // old one in place: a reader (or a crash) sees the old text or the new, nothing between.
  NetworkPulseStore::performanceSave(std::string("second"));
  struct stat second {};
  ASSERT_EQ(::stat(path.c_str(), &second), 0);
  EXPECT_NE(first.st_ino, second.st_ino);
  EXPECT_EQ(second.st_mode & 0777, 0600u);
  EXPECT_EQ(NetworkPulseStore::performanceLoad(), "second");
  EXPECT_EQ(namesIn(dataDir.path()), (std::vector<std::string>{"KST_iOS_SETTING_FILE"}));

  NetworkPulseStore::performanceSave(std::nullopt);  // an absent text leaves an empty file
  EXPECT_EQ(NetworkPulseStore::performanceLoad(), "");
  EXPECT_FALSE(console.contains("[NetworkPulse]"));
}

TEST_F(SettingsFileTest, BytesThatAreNotUtf8ReadAsNothing) {
  std::ofstream(NetworkPulseStore::settingFilePath(), std::ios::binary) << "{\"a\":\"\xff\xfe\"}";
  EXPECT_EQ(NetworkPulseStore::performanceLoad(), std::nullopt);
}

TEST_F(SettingsFileTest, FailuresAreReportedWithTheirOwnPrefix) {
  // The data directory lies under a regular file: nothing can be written or read there.
  std::ofstream(dataDir.path() + "/plain") << "x";
  ZEPLog::setDataDirectory(dataDir.path() + "/plain/zeplog");
  NetworkPulseStore::performanceSave(std::string("{}"));
  EXPECT_TRUE(console.contains("[NetworkPulse] Save Error : ")) << console.lines().size();
  EXPECT_EQ(NetworkPulseStore::performanceLoad(), std::nullopt);

  // A directory where the file should be: it exists but can't be read.
  ZEPLog::setDataDirectory(dataDir.path());
  ASSERT_EQ(::mkdir(NetworkPulseStore::settingFilePath().c_str(), 0700), 0);
  EXPECT_EQ(NetworkPulseStore::performanceLoad(), std::nullopt);
  EXPECT_TRUE(console.contains("[NetworkPulse] Save Load : "));
}

}  // namespace
}  // namespace zeplog
