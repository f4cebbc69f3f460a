#include "support/stderr_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace zeplog::test {

StderrToFile::StderrToFile(std::string path) : path_(std::move(path)) {
  const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  saved_ = ::dup(2);
  ::dup2(fd, 2);
  ::close(fd);
}

StderrToFile::~StderrToFile() {
  if (saved_ < 0) return;
  ::dup2(saved_, 2);
  ::close(saved_);
}

std::string StderrToFile::text() const {
  std::ifstream in(path_);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace zeplog::test
