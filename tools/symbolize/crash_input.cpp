// Reading crash reports and minidumps for zeplog-symbolize.
#include "crash_input.hpp"

#include <charconv>
#include <cstring>
#include <regex>
#include <string>

#include "crash/minidump_format.hpp"
#include "event/json/utf_convert.hpp"

namespace zeplog::symbolize {
namespace {

namespace minidump = detail::minidump;

std::uint64_t hexNumber(std::string_view text) {
  if (text.starts_with("0x")) text.remove_prefix(2);
  std::uint64_t v = 0;
  std::from_chars(text.data(), text.data() + text.size(), v, 16);
  return v;
}

std::string_view nextField(std::string_view& rest) {
  const std::size_t space = rest.find(' ');
  const std::string_view field = rest.substr(0, space);
  rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
  return field;
}

template <typename Visit>
void forEachLine(std::string_view text, Visit visit) {
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    visit(text.substr(0, nl));
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
  }
}

// The handler's own report: "thread <tid> <crashed> <name>", "frame <hex>" and
// "image <base> <size> <bias> <machine> <build id or -> <path>" lines.
CrashInput readHandlerReport(std::string_view text) {
  CrashInput in;
  forEachLine(text, [&](std::string_view line) {
    std::string_view rest = line;
    const std::string_view key = nextField(rest);
    if (key == "thread") {
      nextField(rest);  // the thread id
      const bool crashed = nextField(rest) == "1";
      in.threads.push_back({std::string(rest), crashed, {}});
    } else if (key == "frame" && !in.threads.empty()) {
      in.threads.back().frames.push_back(hexNumber(rest));
    } else if (key == "image") {
      CrashModule m;
      m.start = hexNumber(nextField(rest));
      m.end = m.start + hexNumber(nextField(rest));
      m.bias = hexNumber(nextField(rest));
      nextField(rest);  // ELF machine
      const std::string_view id = nextField(rest);
      m.buildId = id == "-" ? "" : std::string(id);
      m.path = std::string(rest);
      in.modules.push_back(std::move(m));
    }
  });
  return in;
}

// The crash text: thread sections of frame lines ("<n> <image> 0x<address> ...") and the
// binary images ("0x<start> - 0x<end> [+]<name> <arch>  <build id> <path>"). The text does not
// carry load biases: a module's start is taken for it, right for every shared library and
// position-independent program whose first segment is at address 0.
CrashInput readCrashText(std::string_view text) {
  static const std::regex kThread(R"(^Thread \d+( Crashed)?:$)");
  static const std::regex kFrame(R"(^\d+\s+.*?\s0x([0-9a-f]+) )");
  static const std::regex kImage(R"(^\s*0x([0-9a-f]+) -\s+0x([0-9a-f]+) .*<([0-9a-f?]+)> (.*)$)");
  CrashInput in;
  forEachLine(text, [&](std::string_view view) {
    const std::string line(view);
    std::smatch m;
    if (std::regex_match(line, m, kThread)) {
      in.threads.push_back({"", m[1].matched, {}});
    } else if (!in.threads.empty() && std::regex_search(line, m, kFrame)) {
      in.threads.back().frames.push_back(hexNumber(m[1].str()));
    } else if (std::regex_match(line, m, kImage)) {
      const std::uint64_t start = hexNumber(m[1].str());
      in.modules.push_back({start, hexNumber(m[2].str()) + 1, start,
                            m[3].str() == "???" ? "" : m[3].str(), m[4].str()});
    }
  });
  return in;
}

template <typename T>
bool readAt(std::string_view bytes, std::uint64_t offset, T& out) {
  if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
  std::memcpy(&out, bytes.data() + offset, sizeof(T));
  return true;
}

// A MINIDUMP_STRING (UTF-16LE) as UTF-8; "" when it is not one.
std::string minidumpString(std::string_view bytes, std::uint32_t rva) {
  std::uint32_t length = 0;
  if (!readAt(bytes, rva, length) || bytes.size() - rva - 4 < length) return "";
  return detail::convertToUtf8(bytes.substr(rva + 4, length),
                               {detail::JSONInputEncoding::kUtf16LE, 0})
      .value_or("");
}

// The instruction pointer in an x86-64 context; 0 when the context is not one.
std::uint64_t contextRip(std::string_view bytes, const minidump::Location& where) {
  minidump::ContextAmd64 context;
  if (where.dataSize < sizeof context || !readAt(bytes, where.rva, context)) return 0;
  return context.rip;
}

std::string hexText(std::string_view bytes) {
  std::string out;
  for (unsigned char b : bytes) {
    out += "0123456789abcdef"[b >> 4];
    out += "0123456789abcdef"[b & 15];
  }
  return out;
}

}  // namespace

std::optional<CrashInput> readTextReport(std::string_view text) {
  CrashInput in = text.starts_with("zeplog-crash ") ? readHandlerReport(text) : readCrashText(text);
  if (in.threads.empty() && in.modules.empty()) return std::nullopt;
  return in;
}

std::optional<CrashInput> readMinidump(std::string_view bytes, std::string* error) {
  using namespace minidump;
  Header header;
  if (!readAt(bytes, 0, header) || header.signature != kSignature ||
      (header.version & 0xFFFF) != kVersion) {
    *error = "not a minidump (or one cut short)";
    return std::nullopt;
  }
  CrashInput in;
  std::vector<std::uint32_t> threadIds;  // beside in.threads
  Exception exception{};
  bool haveException = false;
  for (std::uint32_t i = 0; i < header.streamCount; ++i) {
    Directory d;
    if (!readAt(bytes, header.directoryRva + std::uint64_t{i} * sizeof d, d)) break;
    std::uint32_t count = 0;
    if (d.streamType == kException) haveException = readAt(bytes, d.location.rva, exception);
    if (d.streamType == kModuleList && readAt(bytes, d.location.rva, count)) {
      for (std::uint32_t j = 0; j < count; ++j) {
        Module m;
        if (!readAt(bytes, d.location.rva + 4 + std::uint64_t{j} * sizeof m, m)) break;
        std::string id;
        std::uint32_t cvSignature = 0;
        if (m.cvRecord.dataSize > 4 && readAt(bytes, m.cvRecord.rva, cvSignature) &&
            cvSignature == kCvSignatureElf &&
            m.cvRecord.rva + std::uint64_t{m.cvRecord.dataSize} <= bytes.size())
          id = hexText(bytes.substr(m.cvRecord.rva + 4, m.cvRecord.dataSize - 4));
        in.modules.push_back({m.baseOfImage, m.baseOfImage + m.sizeOfImage, m.baseOfImage, id,
                              minidumpString(bytes, m.moduleNameRva)});
      }
    }
    if (d.streamType == kThreadList && readAt(bytes, d.location.rva, count)) {
      for (std::uint32_t j = 0; j < count; ++j) {
        Thread t;
        if (!readAt(bytes, d.location.rva + 4 + std::uint64_t{j} * sizeof t, t)) break;
        in.threads.push_back({"tid " + std::to_string(t.threadId), false, {}});
        threadIds.push_back(t.threadId);
        if (const std::uint64_t rip = contextRip(bytes, t.threadContext))
          in.threads.back().frames.push_back(rip);
      }
    }
  }
  // The crashed thread's registers are those of the exception's context.
  for (std::size_t i = 0; haveException && i < in.threads.size(); ++i) {
    if (threadIds[i] != exception.threadId) continue;
    in.threads[i].crashed = true;
    in.threads[i].frames.clear();
    if (const std::uint64_t rip = contextRip(bytes, exception.threadContext))
      in.threads[i].frames.push_back(rip);
  }
  return in;
}

}  // namespace zeplog::symbolize
