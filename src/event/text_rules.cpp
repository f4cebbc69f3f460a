#include "event/text_rules.hpp"

namespace zeplog::detail {

std::string consoleText(std::string_view t) {
  if (t.size() <= kConsoleTextLimit) return toValidUtf8(t);
  std::size_t cut = kConsoleTextLimit;
  // Back up to the start of a character, so the cut never splits one.
  while (cut > 0 && (static_cast<unsigned char>(t[cut]) & 0xC0) == 0x80) --cut;
  std::string out = toValidUtf8(t.substr(0, cut));
  out += "... (" + std::to_string(t.size()) + " bytes)";
  return out;
}

}  // namespace zeplog::detail
