// The JSON writer's output buffer and its string rule.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace zeplog::detail {

// Writes onto the end of a std::string through a cursor: the string is sized ahead (from
// the caller's estimate, then doubling), bytes are stored at the cursor with no per-append
// bookkeeping, and finish() trims the string to what was written. Only the owner of the
// sink touches the string until finish().
class JSONSink {
 public:
  JSONSink(std::string& out, std::size_t estimate) : out_(out), start_(out.size()) {
    const std::size_t used = out_.size();
    out_.resize(used + estimate + kSlack);
    cur_ = out_.data() + used;
    end_ = out_.data() + out_.size();
  }
  JSONSink(const JSONSink&) = delete;
  JSONSink& operator=(const JSONSink&) = delete;

  // Room for n more bytes at the cursor, plus kSlack bytes that may be stored past them
  // and later overwritten (the string rule stores whole 16-byte blocks).
  char* room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - cur_) < n + kSlack) grow(n + kSlack);
    return cur_;
  }
  // The cursor after bytes were stored at room()'s pointer.
  void advance(char* to) { cur_ = to; }

  void put(char c) {
    room(1);
    *cur_++ = c;
  }
  void append(std::string_view s) {
    room(s.size());
    std::memcpy(cur_, s.data(), s.size());
    cur_ += s.size();
  }

  // Offset of the cursor in the string; truncate() goes back to one.
  std::size_t position() const { return static_cast<std::size_t>(cur_ - out_.data()); }
  void truncate(std::size_t position) { cur_ = out_.data() + position; }

  // Leaves the string holding exactly what was written.
  void finish() { out_.resize(position()); }

  static constexpr std::size_t kSlack = 16;

 private:
  // Doubles this sink's own part, not the whole string: a sink may append to a large text
  // (an event onto a batch body), and zero-filling all of it again would cost per event.
  void grow(std::size_t n) {
    const std::size_t used = position();
    const std::size_t written = used - start_;
    out_.resize(used + (n > written + kSlack ? n : written + kSlack));
    cur_ = out_.data() + used;
    end_ = out_.data() + out_.size();
  }

  std::string& out_;
  std::size_t start_;  // where this sink began writing
  char* cur_;
  char* end_;
};

// Writes s as a quoted JSON string: '"' and '\\' escaped, the control bytes as
// \b \t \n \f \r or \u00xx, "/" as "\/" only when escapeSolidus, every other byte as it is
// (non-ASCII text is not escaped). Text that is not valid UTF-8 is written repaired, each
// ill-formed sequence as U+FFFD, so the result is always valid JSON.
void writeJSONString(JSONSink& sink, std::string_view s, bool escapeSolidus);

// The same onto the end of out.
void appendJSONString(std::string& out, std::string_view s, bool escapeSolidus);

}  // namespace zeplog::detail
