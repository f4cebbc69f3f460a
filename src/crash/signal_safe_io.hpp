// Output, file reading and thread calls that a signal handler may use: no allocation, no
// locks, no stdio.
#pragma once

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zeplog::detail {

// The calling thread's kernel id, and a signal to one thread of a process, by system call.
inline pid_t sysGettid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }
inline int sysTgkill(pid_t pid, pid_t tid, int sig) {
  return static_cast<int>(::syscall(SYS_tgkill, pid, tid, sig));
}

// Copies src into a fixed buffer, cut to fit.
inline void copyText(char* dst, std::size_t size, const char* src) {
  std::size_t n = src ? std::strlen(src) : 0;
  if (n >= size) n = size - 1;
  if (n) std::memcpy(dst, src, n);
  dst[n] = '\0';
}

// Buffered writes to one descriptor with number and text formatting of its own.
class RawWriter {
 public:
  explicit RawWriter(int fd) : fd_(fd) {}
  ~RawWriter() { flush(); }

  RawWriter& raw(const char* s, std::size_t n) {
    while (n > 0) {
      if (used_ == sizeof buffer_) flush();
      std::size_t take = sizeof buffer_ - used_;
      if (take > n) take = n;
      std::memcpy(buffer_ + used_, s, take);
      used_ += take;
      s += take;
      n -= take;
    }
    return *this;
  }
  RawWriter& str(const char* s) { return raw(s, std::strlen(s)); }
  RawWriter& ch(char c) { return raw(&c, 1); }
  RawWriter& dec(std::int64_t v) {
    char digits[24];
    int n = 0;
    std::uint64_t u = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    do {
      digits[n++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u);
    if (v < 0) ch('-');
    while (n) ch(digits[--n]);
    return *this;
  }
  RawWriter& hex(std::uint64_t v) {
    char digits[16];
    int n = 0;
    do {
      digits[n++] = "0123456789abcdef"[v & 15];
      v >>= 4;
    } while (v);
    while (n) ch(digits[--n]);
    return *this;
  }
  // Text on one line: line breaks and backslashes are escaped, the end of the line is the
  // end of the value.
  RawWriter& text(const char* s, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      switch (s[i]) {
        case '\\':
          str("\\\\");
          break;
        case '\n':
          str("\\n");
          break;
        case '\r':
          str("\\r");
          break;
        default:
          ch(s[i]);
      }
    }
    return *this;
  }
  RawWriter& text(const char* s) { return text(s, std::strlen(s)); }

  void flush() {
    std::size_t done = 0;
    while (done < used_) {
      ssize_t n = ::write(fd_, buffer_ + done, used_ - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // a full disk loses the rest; the report's end marker is then absent
      done += static_cast<std::size_t>(n);
    }
    used_ = 0;
  }

 private:
  int fd_;
  char buffer_[4096];
  std::size_t used_ = 0;
};

// A small path or number builder on the stack.
class PathBuilder {
 public:
  PathBuilder& add(const char* s) {
    while (*s && n_ + 1 < sizeof buf_) buf_[n_++] = *s++;
    buf_[n_] = '\0';
    return *this;
  }
  PathBuilder& add(std::int64_t v) {
    char digits[24];
    int n = 0;
    std::uint64_t u = static_cast<std::uint64_t>(v < 0 ? -v : v);
    do {
      digits[n++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u);
    while (n && n_ + 1 < sizeof buf_) buf_[n_++] = digits[--n];
    buf_[n_] = '\0';
    return *this;
  }
  const char* c_str() const { return buf_; }

 private:
  char buf_[256] = {};
  std::size_t n_ = 0;
};

// Reads a small file (a /proc comm file) into buf without its trailing line break.
inline std::size_t readSmallFile(const char* path, char* buf, std::size_t size) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  ssize_t n;
  do {
    n = ::read(fd, buf, size - 1);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n <= 0) return 0;
  std::size_t len = static_cast<std::size_t>(n);
  while (len && (buf[len - 1] == '\n' || buf[len - 1] == '\0')) --len;
  buf[len] = '\0';
  return len;
}

}  // namespace zeplog::detail
