#include "support/test_env.hpp"

#include <cstdlib>
#include <filesystem>

#include "zeplog/zeplog.hpp"

namespace zeplog::test {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "zeplog-test-XXXXXX").string();
  char* made = ::mkdtemp(tmpl.data());
  if (!made) throw std::runtime_error("mkdtemp failed");
  path_ = made;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ConsoleCapture::ConsoleCapture() {
  ZEPLog::setConsoleHandler([state = state_](std::string_view line) {
    std::lock_guard<std::mutex> g(state->lock);
    state->lines.emplace_back(line);
  });
}

ConsoleCapture::~ConsoleCapture() { ZEPLog::setConsoleHandler(nullptr); }

std::vector<std::string> ConsoleCapture::lines() const {
  std::lock_guard<std::mutex> g(state_->lock);
  return state_->lines;
}

bool ConsoleCapture::contains(std::string_view text) const { return count(text) > 0; }

int ConsoleCapture::count(std::string_view text) const {
  std::lock_guard<std::mutex> g(state_->lock);
  int n = 0;
  for (const auto& l : state_->lines)
    if (l.find(text) != std::string::npos) ++n;
  return n;
}

void ConsoleCapture::clear() {
  std::lock_guard<std::mutex> g(state_->lock);
  state_->lines.clear();
}

LibraryTest::LibraryTest() {
  ZEPLog::setDataDirectory(dataDir.path());
  // Without a base the settings come from the collector, which would add a request to every
  // test's collector; nothing listens here, so each fetch fails at once, as a test expects
  // unless it serves settings itself (it may still replace this base).
  ZEPLog::setSettingsBaseURL("http://127.0.0.1:9/v2/");
}

}  // namespace zeplog::test
