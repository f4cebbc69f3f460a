// The loaded images of the process, read inside a signal handler.
#include "crash/loaded_images.hpp"

#include <elf.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <new>

#include "crash/elf_notes.hpp"

namespace zeplog::detail {
namespace {

constexpr std::size_t kPathMax = 4096;

// Reads a file line by line through a fixed buffer; a line longer than the buffer is cut.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  // The next line without its break, or nullptr at the end.
  const char* next() {
    for (;;) {
      char* nl = static_cast<char*>(std::memchr(buf_ + start_, '\n', end_ - start_));
      if (nl) {
        *nl = '\0';
        const char* line = buf_ + start_;
        start_ = static_cast<std::size_t>(nl - buf_) + 1;
        return line;
      }
      if (start_ > 0) {
        std::memmove(buf_, buf_ + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
      }
      if (end_ == sizeof buf_ - 1) {  // no break in a full buffer: cut the line
        buf_[end_] = '\0';
        end_ = 0;
        return buf_;
      }
      ssize_t n = ::read(fd_, buf_ + end_, sizeof buf_ - 1 - end_);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (end_ == 0) return nullptr;
        buf_[end_] = '\0';
        end_ = 0;
        return buf_;
      }
      end_ += static_cast<std::size_t>(n);
    }
  }

 private:
  int fd_;
  char buf_[8192];
  std::size_t start_ = 0;
  std::size_t end_ = 0;
};

std::uint64_t parseHex(const char*& p) {
  std::uint64_t v = 0;
  for (;; ++p) {
    char c = *p;
    if (c >= '0' && c <= '9')
      v = v * 16 + static_cast<std::uint64_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
      v = v * 16 + static_cast<std::uint64_t>(c - 'a' + 10);
    else
      break;
  }
  return v;
}

const char* skipField(const char* p) {
  while (*p && *p != ' ') ++p;
  while (*p == ' ') ++p;
  return p;
}

struct ImageInProgress {
  bool open = false;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  char path[kPathMax] = {};
};

// Copies n bytes of this process's memory at address into dst without touching the
// memory directly: a mapped file cut short, or a mapping gone, gives false instead of a
// second fault inside the handler.
bool safeRead(void* dst, std::uint64_t address, std::size_t n) {
  struct iovec local {
    dst, n
  };
  struct iovec remote {
    reinterpret_cast<void*>(address), n
  };
  return ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(n);
}

// Writes one image: ELF machine, load bias and GNU build id read from the mapped headers,
// which lie in the image's first mapping.
void writeImage(RawWriter& w, const ImageInProgress& image) {
  Elf64_Ehdr eh;
  if (!safeRead(&eh, image.start, sizeof eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
      eh.e_ident[EI_CLASS] != ELFCLASS64)
    return;
  std::uint64_t bias = image.start;
  char buildId[2 * 64 + 1] = "-";
  static Elf64_Phdr ph[64];
  const int phnum = eh.e_phnum < 64 ? eh.e_phnum : 64;
  if (eh.e_phentsize == sizeof(Elf64_Phdr) &&
      safeRead(ph, image.start + eh.e_phoff,
               sizeof(Elf64_Phdr) * static_cast<std::size_t>(phnum))) {
    for (int i = 0; i < phnum; ++i) {
      if (ph[i].p_type == PT_LOAD && ph[i].p_offset == 0) {
        bias = image.start - ph[i].p_vaddr;
        break;
      }
    }
    alignas(8) static unsigned char notes[4096];
    for (int i = 0; i < phnum && buildId[0] == '-'; ++i) {
      if (ph[i].p_type != PT_NOTE || ph[i].p_filesz > sizeof notes) continue;
      if (!safeRead(notes, bias + ph[i].p_vaddr, ph[i].p_filesz)) continue;
      unsigned size = 0;
      const unsigned char* desc = findGnuBuildId(notes, notes + ph[i].p_filesz, &size);
      if (!desc || size > 64) continue;
      for (unsigned j = 0; j < size; ++j) {
        buildId[2 * j] = "0123456789abcdef"[desc[j] >> 4];
        buildId[2 * j + 1] = "0123456789abcdef"[desc[j] & 15];
      }
      buildId[2 * size] = '\0';
    }
  }
  w.str("image ").hex(image.start).ch(' ').hex(image.end - image.start).ch(' ').hex(bias);
  w.ch(' ').dec(eh.e_machine).ch(' ').str(buildId).ch(' ').text(image.path).ch('\n');
}

}  // namespace

// Every mapped ELF file (and the vDSO) from /proc/self/maps: from the mapping at file offset
// 0 to the last mapping of the same path.
void writeLoadedImages(RawWriter& w) {
  int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  static LineReader* reader;
  alignas(LineReader) static unsigned char readerStorage[sizeof(LineReader)];
  reader = new (readerStorage) LineReader(fd);
  static ImageInProgress image;
  image.open = false;
  while (const char* line = reader->next()) {
    const char* p = line;
    std::uint64_t start = parseHex(p);
    if (*p++ != '-') continue;
    std::uint64_t end = parseHex(p);
    ++p;
    const bool readable = *p == 'r';
    p = skipField(p);
    std::uint64_t offset = parseHex(p);
    p = skipField(p);  // offset
    p = skipField(p);  // device
    p = skipField(p);  // inode
    const char* path = p;
    if (!*path) continue;  // anonymous memory belongs to no image
    if (image.open && std::strcmp(path, image.path) == 0) {
      image.end = end;
      continue;
    }
    if (image.open) writeImage(w, image);
    image.open = false;
    const bool candidate = path[0] == '/' || std::strcmp(path, "[vdso]") == 0;
    char magic[SELFMAG];
    if (candidate && offset == 0 && readable && safeRead(magic, start, SELFMAG) &&
        std::memcmp(magic, ELFMAG, SELFMAG) == 0) {
      image.open = true;
      image.start = start;
      image.end = end;
      copyText(image.path, sizeof image.path, path);
    }
  }
  if (image.open) writeImage(w, image);
  ::close(fd);
}

}  // namespace zeplog::detail
