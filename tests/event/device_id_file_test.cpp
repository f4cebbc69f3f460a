// The device-id file is read without trusting it: links, special files, huge or malformed
// content are replaced by a new id; nothing blocks; concurrent callers agree on one id.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "common/files.hpp"
#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

namespace fs = std::filesystem;

constexpr const char* kOtherId = "0F0E0D0C-0B0A-4908-8706-050403020100";

class DeviceIdFileTest : public test::LibraryTest {
 protected:
  std::string path() const { return ZEPLog::dataFilePath(); }
  static void writeFile(const std::string& p, const std::string& content) {
    std::ofstream(p, std::ios::binary) << content;
  }
  std::vector<std::string> tempFiles() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dataDir.path()))
      if (e.path().filename().string().find(".tmp-") != std::string::npos)
        out.push_back(e.path().string());
    return out;
  }
};

// Each case puts something unusable where the id file belongs; the call mints a new id,
// stores it as a plain file, and says why.
TEST_F(DeviceIdFileTest, UnusableFilesAreReplacedByANewIdWithALine) {
  const std::string target = dataDir.path() + "/elsewhere";
  const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> cases = {
      {"a link, even to a good id",
       [&](const std::string& p) {
         writeFile(target, kOtherId);
         fs::create_symlink(target, p);
       }},
      {"a FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
      {"bytes that are not UTF-8", [](const std::string& p) { writeFile(p, "\xFF\xFE"); }},
      {"an id followed by more",
       [](const std::string& p) {
         writeFile(p, std::string(kOtherId) + std::string(1 << 20, 'x'));
       }},
      {"an id with two newlines",
       [](const std::string& p) { writeFile(p, std::string(kOtherId) + "\n\n"); }},
      {"a word", [](const std::string& p) { writeFile(p, "hostname"); }},
      {"an empty file", [](const std::string& p) { writeFile(p, ""); }},
  };
  for (const auto& [what, make] : cases) {
    SCOPED_TRACE(what);
    std::error_code ec;
    fs::remove(path(), ec);
    make(path());
    console.clear();
    const std::optional<std::string> id = ZEPLog::getDeviceID();
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->size(), 36u);
    EXPECT_NE(*id, kOtherId);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path())));
    EXPECT_EQ(detail::readWholeFile(path()), id);
    EXPECT_EQ(ZEPLog::getDeviceID(), id);  // kept from now on
    EXPECT_EQ(console.count("a new id replaces it"), 1);
    if (what.find("link") != std::string::npos) {
      EXPECT_EQ(detail::readWholeFile(target), kOtherId);  // the link's target untouched
    }
  }
  EXPECT_TRUE(tempFiles().empty());
}

TEST_F(DeviceIdFileTest, AStoredIdIsReadWithAnyCaseAndATrailingNewline) {
  const std::string lower = "0f0e0d0c-0b0a-4908-8706-050403020100";
  writeFile(path(), lower + "\n");
  EXPECT_EQ(ZEPLog::getDeviceID(), lower);
  EXPECT_EQ(detail::readWholeFile(path()), lower + "\n");  // a good file is not rewritten
  EXPECT_EQ(console.lines().size(), 0u);
}

TEST_F(DeviceIdFileTest, ConcurrentFirstCallsAgreeOnOneId) {
  constexpr int kThreads = 8;
  std::vector<std::optional<std::string>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&ids, i] { ids[i] = ZEPLog::getDeviceID(); });
  for (auto& t : threads) t.join();
  ASSERT_TRUE(ids[0].has_value());
  for (const auto& id : ids) EXPECT_EQ(id, ids[0]);
  EXPECT_EQ(detail::readWholeFile(path()), ids[0]);
}

// A directory where the file belongs can't be replaced: the id of this process is minted
// once and kept, every call says why, and no temporary file is left behind.
TEST_F(DeviceIdFileTest, AnUnwritablePlaceKeepsOneIdForTheProcess) {
  fs::create_directories(path() + "/inside");
  const std::optional<std::string> first = ZEPLog::getDeviceID();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->size(), 36u);
  EXPECT_EQ(ZEPLog::getDeviceID(), first);
  ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:1", "app", "1"));
  ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:1", "app", "1"));
  for (const char* id : {"0", "1"}) {
    const auto handle = ZEPLog::kst_getHandler(id);
    const FieldValue* v = handle->customFields->find("DeviceID");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(std::get<std::string>(*v), *first);
  }
  EXPECT_TRUE(console.contains("get device id : rename"));
  EXPECT_TRUE(tempFiles().empty());

  // Once the place is free again, the same id is stored.
  fs::remove_all(path());
  EXPECT_EQ(ZEPLog::getDeviceID(), first);
  EXPECT_EQ(detail::readWholeFile(path()), first);
}

TEST_F(DeviceIdFileTest, ADataDirectoryBelowAFileGivesNoIdAndTheReason) {
  writeFile(dataDir.path() + "/plain", "x");
  ZEPLog::setDataDirectory(dataDir.path() + "/plain/zeplog");
  EXPECT_EQ(ZEPLog::getDeviceID(), std::nullopt);
  EXPECT_TRUE(console.contains("plain is not a directory"))
      << ::testing::PrintToString(console.lines());
}

}  // namespace
}  // namespace zeplog
