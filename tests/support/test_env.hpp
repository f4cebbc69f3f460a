// Shared helpers for the test programs.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace zeplog::test {

// A fresh temporary directory, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Takes the library's console lines for its lifetime.
class ConsoleCapture {
 public:
  ConsoleCapture();
  ~ConsoleCapture();
  std::vector<std::string> lines() const;
  // True when some line contains text.
  bool contains(std::string_view text) const;
  // The number of lines that contain text.
  int count(std::string_view text) const;
  void clear();

 private:
  struct State {
    std::mutex lock;
    std::vector<std::string> lines;  // guarded by lock
  };
  // Shared with the installed handler, so a line arriving late on another thread never
  // touches a destroyed capture.
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Base fixture: a temporary data directory set before anything runs, and console capture.
class LibraryTest : public ::testing::Test {
 protected:
  LibraryTest();
  TempDir dataDir;
  ConsoleCapture console;
};

}  // namespace zeplog::test
