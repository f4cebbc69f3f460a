// Switches for the reader's two caches, so the benchmark can measure what each one is worth.
#pragma once

#include "zeplog/json_reader.hpp"

namespace zeplog::detail {

struct JSONReaderTuning {
  // Interning of strings under 80 bytes. asciiToo: also ASCII-only strings, which need no
  // UTF-8 check and so gain nothing from a cache hit (off by default).
  static void setInterning(kstCJSONDeserializer& reader, bool on, bool asciiToo);
  // Key guidance from the first object of an array for the objects that follow it.
  static void setSharedKeys(kstCJSONDeserializer& reader, bool on);
};

}  // namespace zeplog::detail
