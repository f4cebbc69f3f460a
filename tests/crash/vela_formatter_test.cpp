// The crash text layout, byte for byte, from hand-made reports.
#include <gtest/gtest.h>

#include <cctype>

#include "zeplog/vela_formatter.hpp"

namespace zeplog {
namespace {

CrashBinaryImage image(std::uint64_t base, std::uint64_t size, std::string path,
                       std::optional<CrashProcessorInfo> code = CrashProcessorInfo{1, 0x1000007, 3},
                       std::string uuid = "") {
  CrashBinaryImage i;
  i.imageBaseAddress = base;
  i.imageSize = size;
  i.imageName = std::move(path);
  i.codeType = code;
  i.hasImageUUID = !uuid.empty();
  i.imageUUID = uuid;
  return i;
}

CrashReport baseReport() {
  CrashReport r;
  r.systemInfo.operatingSystem = 1;
  r.systemInfo.architecture = 1;
  r.systemInfo.operatingSystemVersion = "7.1";
  r.systemInfo.operatingSystemBuild = "11D167";
  r.systemInfo.timestamp = std::chrono::system_clock::from_time_t(1398951910);  // 2014-05-01
  r.machineInfo = CrashMachineInfo{"iPhone6,1", {1, 0x100000c, 0}};
  r.processInfo = CrashProcessInfo{"demo", 42, "/app/demo", "launchd", 1};
  r.applicationInfo = {"com.example.demo", "2.0"};
  r.signalInfo = {"SIGSEGV", "SEGV_MAPERR", 0x10};
  return r;
}

// The text without its first line, which holds a fresh identifier.
std::string afterIdentifier(const std::string& text) { return text.substr(text.find('\n') + 1); }

TEST(VelaFormatterTest, FullReportLayout) {
  CrashReport r = baseReport();
  r.images = {image(0x200000, 0x1000, "/usr/lib/libz.dylib", CrashProcessorInfo{1, 0x100000c, 0}),
              image(0x100000, 0x8000, "/app/demo", CrashProcessorInfo{1, 0x100000c, 0}, "ABC")};
  CrashThreadInfo t0;
  t0.threadNumber = 0;
  t0.stackFrames = {{0x100010, {}, 0}, {0x999, {}, 0}};
  CrashThreadInfo t1;
  t1.threadNumber = 1;
  t1.crashed = true;
  t1.stackFrames = {{0x200020, {}, 0}};
  for (int i = 0; i < 5; ++i) t1.registers.push_back({"x" + std::to_string(i), std::uint64_t(i)});
  r.threads = {t0, t1};
  r.exceptionInfo =
      CrashExceptionInfo{"NSRangeException", "index 3 beyond bounds", {{0x100020, {}, 0}}};

  const std::string text = kstVelaFormatter::stringValueForCrashReport(r, 0);
  // "Incident Identifier: " and a fresh canonical upper-case UUID.
  const std::string first = text.substr(0, text.find('\n'));
  ASSERT_EQ(first.size(), 21u + 36u) << first;
  EXPECT_EQ(first.substr(0, 21), "Incident Identifier: ");
  for (std::size_t k = 21; k < first.size(); ++k) {
    const bool dash = k - 21 == 8 || k - 21 == 13 || k - 21 == 18 || k - 21 == 23;
    EXPECT_TRUE(dash ? first[k] == '-' : std::isxdigit(first[k]) && !std::islower(first[k]))
        << first;
  }
  EXPECT_EQ(
      afterIdentifier(text),
      "CrashReporter Key:   (null)\n"
      "Hardware Model:      iPhone6,1\n"
      "Process:         demo [42]\n"
      "Path:            /app/demo\n"
      "Identifier:      com.example.demo\n"
      "Version:         2.0\n"
      "Code Type:       ARM-64\n"
      "Parent Process:  launchd [1]\n"
      "\n"
      "Date/Time:       2014-05-01 13:45:10 +0000\n"
      "OS Version:      iPhone OS 7.1 (11D167)\n"
      "Report Version:  104\n"
      "\n"
      "Exception Type:  SIGSEGV\n"
      "Exception Codes: SEGV_MAPERR at 0x10\n"
      "Crashed Thread:  1\n"
      "\n"
      "Application Specific Information:\n"
      "*** Terminating app due to uncaught exception 'NSRangeException', reason: 'index 3 "
      "beyond bounds'\n"
      "\n"
      "Thread 0:\n"
      "0   demo                                0x00100010 0x100000 + 16\n"
      "1   ???                                 0x00000999 0x0 + 0\n"
      "\n"
      "Thread 1 Crashed:\n"
      "0   libz.dylib                          0x00200020 0x200000 + 32\n"
      "\n"
      "Thread 2 name:  Exception Backtrace\n"
      "Thread 2:\n"
      "0   demo                                0x00100020 0x100000 + 32\n"
      "\n"
      "Thread 1 crashed with ARM-64 Thread State:\n"
      "    x0: 0x0000000000000000     x1: 0x0000000000000001     x2: 0x0000000000000002 "
      "    x3: 0x0000000000000003 \n"
      "    x4: 0x0000000000000004 \n"
      "\n"
      "Binary Images:\n"
      "          0x100000 -           0x107fff +demo arm64  <ABC> /app/demo\n"
      "          0x200000 -           0x200fff  libz.dylib arm64  <??\?> /usr/lib/libz.dylib\n");
}

TEST(VelaFormatterTest, NoThreadsNoProcessInfoAndThirtyTwoBitImages) {
  CrashReport r = baseReport();
  r.processInfo.reset();
  r.machineInfo.reset();
  r.applicationInfo = {};
  r.systemInfo.operatingSystem = 7;
  r.systemInfo.operatingSystemBuild.reset();
  r.images = {image(0x4000, 0, "/lib/a", CrashProcessorInfo{1, 12, 9})};
  r.exceptionInfo = CrashExceptionInfo{"E", "R", {{0x4000, {}, 0}}};
  const std::string text = afterIdentifier(kstVelaFormatter::stringValueForCrashReport(r, 5));
  EXPECT_EQ(text,
            "CrashReporter Key:   (null)\n"
            "Hardware Model:      ???\n"
            "Process:         ??? [???]\n"
            "Path:            ???\n"
            "Identifier:      (null)\n"
            "Version:         (null)\n"
            "Code Type:       ARM\n"
            "Parent Process:  ??? [???]\n"
            "\n"
            "Date/Time:       2014-05-01 13:45:10 +0000\n"
            "OS Version:      Unknown (7) 7.1 (??\?)\n"
            "Report Version:  104\n"
            "\n"
            "Exception Type:  SIGSEGV\n"
            "Exception Codes: SEGV_MAPERR at 0x10\n"
            "\n"
            "Application Specific Information:\n"
            "*** Terminating app due to uncaught exception 'E', reason: 'R'\n"
            "\n"
            "Thread 1 name:  Exception Backtrace\n"
            "Thread 1:\n"
            "0   ???                                 0x00004000 0x0 + 0\n"  // size 0 holds nothing
            "\n"
            "Binary Images:\n"
            "    0x4000 -     0x4000  a armv7  <??\?> /lib/a\n");
}

TEST(VelaFormatterTest, TwoCrashedThreadsAndEightRegistersOnAnArmMachine) {
  CrashReport r = baseReport();
  r.machineInfo = CrashMachineInfo{"m", {1, 0x100000c, 0}};  // low 24 bits: 12, ARM
  r.exceptionInfo.reset();
  r.images.clear();
  r.systemInfo.architecture = 0;  // no image decides: 32-bit X86
  CrashThreadInfo a, b;
  a.threadNumber = 3;
  a.crashed = true;
  b.threadNumber = 5;
  b.crashed = true;
  for (int i = 0; i < 8; ++i) b.registers.push_back({i == 0 ? "r12" : "r" + std::to_string(i), 1});
  r.threads = {a, b};
  const std::string text = kstVelaFormatter::stringValueForCrashReport(r, 0);
  EXPECT_NE(text.find("Crashed Thread:  3\n\n"), std::string::npos);
  EXPECT_NE(
      text.find("Thread 5 crashed with X86 Thread State:\n"
                "    ip: 0x00000001     r1: 0x00000001     r2: 0x00000001     r3: 0x00000001 \n"
                "    r4: 0x00000001     r5: 0x00000001     r6: 0x00000001     r7: 0x00000001 \n"
                "\n"
                "Binary Images:\n"),
      std::string::npos)
      << text;
}

TEST(VelaFormatterTest, NamesArchitecturesAndOperatingSystems) {
  struct Row {
    CrashProcessorInfo code;
    const char* arch;
    const char* codeType;
  };
  const Row rows[] = {{{1, 7, 3}, "i386", "X86"},
                      {{1, 12, 6}, "armv6", "ARM"},
                      {{1, 12, 11}, "armv7s", "ARM"},
                      {{1, 12, 1}, "arm-unknown", "ARM"},
                      {{1, 18, 0}, "powerpc", "PPC"},
                      {{1, 0x1000007, 3}, "x86_64", "X86-64"},
                      {{1, 0x100000c, 13}, "armv8", "ARM-64"},
                      {{1, 0x100000c, 2}, "arm64-unknown", "ARM-64"}};
  for (const Row& row : rows) {
    CrashReport r = baseReport();
    r.images = {image(0x1000, 16, "/x", row.code)};
    const std::string text = kstVelaFormatter::stringValueForCrashReport(r, 0);
    EXPECT_NE(text.find(std::string(" x ") + row.arch + "  <??\?> /x\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find(std::string("Code Type:       ") + row.codeType + "\n"), std::string::npos);
  }
  // An image of another encoding or CPU decides nothing and has no architecture name.
  CrashReport r = baseReport();
  r.systemInfo.architecture = 4;
  r.systemInfo.operatingSystem = 0;
  r.images = {image(0x1000, 16, "/x", CrashProcessorInfo{0, 7, 3}),
              image(0x2000, 16, "/y", std::nullopt)};
  const std::string text = kstVelaFormatter::stringValueForCrashReport(r, 0);
  EXPECT_NE(text.find("Code Type:       Unknown (4)\n"), std::string::npos);
  EXPECT_NE(text.find("OS Version:      Mac OS X 7.1"), std::string::npos);
  EXPECT_NE(text.find("            0x1000 -             0x100f  x ???  <??\?> /x\n"),
            std::string::npos)
      << text;
}

TEST(VelaFormatterTest, SymbolicatedFramesAndThreadNames) {
  CrashReport r = baseReport();
  r.images = {image(0x100000, 0x8000, "/app/demo")};
  CrashThreadInfo t;
  t.crashed = true;
  t.threadName = "worker";
  t.stackFrames = {{0x100050, std::string("crashHere()"), 0x100040}};
  r.threads = {t};
  const std::string text = kstVelaFormatter::stringValueForCrashReport(r, 0);
  EXPECT_NE(text.find("Thread 0 name:  worker\nThread 0 Crashed:\n"
                      "0   demo                                0x00100050 crashHere() + 16\n\n"),
            std::string::npos)
      << text;
}

TEST(VelaFormatterTest, IdentifiersAreFreshAndImagesSortByBase) {
  CrashReport r = baseReport();
  EXPECT_NE(kstVelaFormatter::stringValueForCrashReport(r, 0),
            kstVelaFormatter::stringValueForCrashReport(r, 0));
  EXPECT_NE(kstVelaFormatter::uuid(), kstVelaFormatter::uuid());
  EXPECT_FALSE(kstVelaFormatter::reportKey().has_value());
  CrashBinaryImage low = image(1, 1, "/a"), high = image(2, 1, "/b");
  EXPECT_EQ(kst_sdk_binaryImageSort(low, high, nullptr), -1);
  EXPECT_EQ(kst_sdk_binaryImageSort(high, low, nullptr), 1);
  EXPECT_EQ(kst_sdk_binaryImageSort(low, low, nullptr), 0);
}

}  // namespace
}  // namespace zeplog
