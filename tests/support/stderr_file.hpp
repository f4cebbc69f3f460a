// The process's stderr sent to a file while a test runs, so it can read the lines there.
#pragma once

#include <string>

namespace zeplog::test {

// Sends stderr (file descriptor 2) to the file at `path` (made or emptied) from construction
// until destruction, which gives stderr back. ok() is false when the file could not be made.
class StderrToFile {
 public:
  explicit StderrToFile(std::string path);
  ~StderrToFile();
  StderrToFile(const StderrToFile&) = delete;
  StderrToFile& operator=(const StderrToFile&) = delete;

  bool ok() const { return saved_ >= 0; }
  // Everything written so far.
  std::string text() const;
  bool contains(const std::string& line) const { return text().find(line) != std::string::npos; }

 private:
  std::string path_;
  int saved_ = -1;
};

}  // namespace zeplog::test
