// Symbol names from the images' ELF symbol tables.
#include "crash/symbolizer.hpp"

#include <cxxabi.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/utf8.hpp"
#include "crash/elf_notes.hpp"

namespace zeplog::detail {
namespace {

struct Symbol {
  std::uint64_t start = 0;  // file virtual address
  std::uint64_t size = 0;
  std::string name;
};

// A read-only mapping of a whole file, unmapped when it goes.
class MappedFile {
 public:
  explicit MappedFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
      void* p =
          ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
      if (p != MAP_FAILED) {
        data_ = static_cast<const unsigned char*>(p);
        size_ = static_cast<std::size_t>(st.st_size);
      }
    }
    ::close(fd);
  }
  ~MappedFile() {
    if (data_) ::munmap(const_cast<unsigned char*>(data_), size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // The bytes [offset, offset + length), or nullptr when they are not all in the file.
  const unsigned char* at(std::uint64_t offset, std::uint64_t length) const {
    if (!data_ || offset > size_ || length > size_ - offset) return nullptr;
    return data_ + offset;
  }

 private:
  const unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
};

std::string demangle(const char* name) {
  int status = 0;
  char* out = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string text = status == 0 && out ? out : name;
  std::free(out);
  return toValidUtf8(text);
}

std::string hexOf(const unsigned char* bytes, std::size_t n) {
  std::string text;
  for (std::size_t i = 0; i < n; ++i) {
    text += "0123456789abcdef"[bytes[i] >> 4];
    text += "0123456789abcdef"[bytes[i] & 15];
  }
  return text;
}

// The function symbols of one ELF file, sorted by start; empty when the file is not a
// 64-bit ELF file, has no symbols, or is not the build the report names.
std::vector<Symbol> loadSymbols(const std::string& path, const std::string* expectedBuildId) {
  std::vector<Symbol> symbols;
  MappedFile file(path);
  const auto* eh = reinterpret_cast<const Elf64_Ehdr*>(file.at(0, sizeof(Elf64_Ehdr)));
  if (!eh || std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 ||
      eh->e_ident[EI_CLASS] != ELFCLASS64 || eh->e_shentsize != sizeof(Elf64_Shdr))
    return symbols;
  const auto* sections = reinterpret_cast<const Elf64_Shdr*>(
      file.at(eh->e_shoff, std::uint64_t{eh->e_shnum} * sizeof(Elf64_Shdr)));
  if (!sections) return symbols;

  if (expectedBuildId) {
    std::string fileBuildId;
    for (int i = 0; i < eh->e_shnum && fileBuildId.empty(); ++i) {
      const Elf64_Shdr& s = sections[i];
      if (s.sh_type != SHT_NOTE) continue;
      const unsigned char* p = file.at(s.sh_offset, s.sh_size);
      if (!p) continue;
      unsigned size = 0;
      if (const unsigned char* desc = findGnuBuildId(p, p + s.sh_size, &size))
        fileBuildId = hexOf(desc, size);
    }
    if (!fileBuildId.empty() && fileBuildId != *expectedBuildId) return symbols;
  }

  // The full table when the file has one, else the dynamic one.
  for (Elf64_Word wanted : {SHT_SYMTAB, SHT_DYNSYM}) {
    for (int i = 0; i < eh->e_shnum; ++i) {
      const Elf64_Shdr& s = sections[i];
      if (s.sh_type != wanted || s.sh_entsize != sizeof(Elf64_Sym) || s.sh_link >= eh->e_shnum)
        continue;
      const auto* syms = reinterpret_cast<const Elf64_Sym*>(file.at(s.sh_offset, s.sh_size));
      const Elf64_Shdr& strtab = sections[s.sh_link];
      const auto* strings =
          reinterpret_cast<const char*>(file.at(strtab.sh_offset, strtab.sh_size));
      if (!syms || !strings) continue;
      for (std::size_t k = 0; k < s.sh_size / sizeof(Elf64_Sym); ++k) {
        const Elf64_Sym& sym = syms[k];
        const int type = ELF64_ST_TYPE(sym.st_info);
        if ((type != STT_FUNC && type != STT_GNU_IFUNC) || sym.st_value == 0 ||
            sym.st_name >= strtab.sh_size || sym.st_shndx == SHN_UNDEF)
          continue;
        const char* name = strings + sym.st_name;
        if (!std::memchr(name, '\0', strtab.sh_size - sym.st_name)) continue;
        symbols.push_back({sym.st_value, sym.st_size, name});
      }
    }
    if (!symbols.empty()) break;
  }
  std::sort(symbols.begin(), symbols.end(),
            [](const Symbol& a, const Symbol& b) { return a.start < b.start; });
  return symbols;
}

// The symbol that holds address (a file virtual address), or nullptr.
const Symbol* findSymbol(const std::vector<Symbol>& symbols, std::uint64_t address) {
  auto it = std::upper_bound(symbols.begin(), symbols.end(), address,
                             [](std::uint64_t a, const Symbol& s) { return a < s.start; });
  // Among symbols starting at or before address, the nearest sized one that covers it.
  while (it != symbols.begin()) {
    --it;
    if (address < it->start + std::max<std::uint64_t>(it->size, 1)) return &*it;
    if (it->size != 0) return nullptr;
  }
  return nullptr;
}

}  // namespace

void symbolizeCrashReport(CrashReport& report) {
  std::map<std::string, std::vector<Symbol>> tables;  // by image path
  auto symbolize = [&](std::vector<CrashStackFrame>& frames) {
    for (std::size_t i = 0; i < frames.size(); ++i) {
      CrashStackFrame& frame = frames[i];
      const CrashBinaryImage* image = report.imageForAddress(frame.instructionPointer);
      if (!image || image->imageName.empty() || image->imageName[0] != '/') continue;
      auto found = tables.find(image->imageName);
      if (found == tables.end()) {
        found = tables
                    .emplace(image->imageName,
                             loadSymbols(image->imageName,
                                         image->hasImageUUID ? &image->imageUUID : nullptr))
                    .first;
      }
      // A return address points after its call: look up the call itself.
      const std::uint64_t lookup = frame.instructionPointer - (i > 0 ? 1 : 0);
      const Symbol* symbol = findSymbol(found->second, lookup - image->loadBias);
      if (!symbol) continue;
      frame.symbolName = demangle(symbol->name.c_str());
      frame.symbolStart = symbol->start + image->loadBias;
    }
  };
  for (CrashThreadInfo& thread : report.threads) symbolize(thread.stackFrames);
  if (report.exceptionInfo) symbolize(report.exceptionInfo->stackFrames);
}

}  // namespace zeplog::detail
