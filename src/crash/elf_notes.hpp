// The GNU build id among an ELF file's notes.
#pragma once

#include <elf.h>

#include <cstring>

namespace zeplog::detail {

// Walks the notes in [p, end) and returns the descriptor of the GNU build-id note, with its
// size in *size; nullptr when there is none. Reads only inside the range and allocates
// nothing, so the crash handler may call it.
inline const unsigned char* findGnuBuildId(const unsigned char* p, const unsigned char* end,
                                           unsigned* size) {
  while (p + sizeof(Elf64_Nhdr) <= end) {
    const auto* note = reinterpret_cast<const Elf64_Nhdr*>(p);
    const unsigned char* name = p + sizeof(Elf64_Nhdr);
    const unsigned char* desc = name + ((note->n_namesz + 3) & ~3u);
    const unsigned char* next = desc + ((note->n_descsz + 3) & ~3u);
    if (next > end) return nullptr;
    if (note->n_type == NT_GNU_BUILD_ID && note->n_namesz == 4 &&
        std::memcmp(name, "GNU", 4) == 0) {
      *size = note->n_descsz;
      return desc;
    }
    p = next;
  }
  return nullptr;
}

}  // namespace zeplog::detail
