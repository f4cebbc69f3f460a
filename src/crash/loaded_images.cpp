// The loaded images of the process, read inside a signal handler.
#include "crash/loaded_images.hpp"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <new>

#include "crash/elf_notes.hpp"
#include "crash/thread_capture.hpp"

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

// Reads one image's ELF machine, load bias and GNU build id from its mapped headers, which
// lie in its first mapping; false when the mapping holds no 64-bit ELF header.
bool readImageHeaders(const ImageInProgress& range, LoadedImage& image) {
  Elf64_Ehdr eh;
  if (!copyOwnMemory(&eh, range.start, sizeof eh) ||
      std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64)
    return false;
  image.start = range.start;
  image.size = range.end - range.start;
  image.bias = range.start;
  image.machine = eh.e_machine;
  image.buildIdSize = 0;
  image.path = range.path;
  static Elf64_Phdr ph[64];
  const int phnum = eh.e_phnum < 64 ? eh.e_phnum : 64;
  if (eh.e_phentsize != sizeof(Elf64_Phdr) ||
      !copyOwnMemory(ph, range.start + eh.e_phoff,
                     sizeof(Elf64_Phdr) * static_cast<std::size_t>(phnum)))
    return true;
  for (int i = 0; i < phnum; ++i) {
    if (ph[i].p_type == PT_LOAD && ph[i].p_offset == 0) {
      image.bias = range.start - ph[i].p_vaddr;
      break;
    }
  }
  alignas(8) static unsigned char notes[4096];
  for (int i = 0; i < phnum && image.buildIdSize == 0; ++i) {
    if (ph[i].p_type != PT_NOTE || ph[i].p_filesz > sizeof notes) continue;
    if (!copyOwnMemory(notes, image.bias + ph[i].p_vaddr, ph[i].p_filesz)) continue;
    unsigned size = 0;
    const unsigned char* desc = findGnuBuildId(notes, notes + ph[i].p_filesz, &size);
    if (!desc || size > sizeof image.buildId) continue;
    std::memcpy(image.buildId, desc, size);
    image.buildIdSize = size;
  }
  return true;
}

void visitImage(const ImageInProgress& range, LoadedImageVisitor& visitor) {
  constinit static LoadedImage image;
  if (readImageHeaders(range, image)) visitor.image(image);
}

// Writes one "image" line: base, size, load bias, ELF machine, build id ("-" without one)
// and path.
class ImageLineWriter final : public LoadedImageVisitor {
 public:
  explicit ImageLineWriter(RawWriter& w) : w_(w) {}
  void image(const LoadedImage& image) override {
    char buildId[2 * sizeof image.buildId + 1] = "-";
    for (unsigned j = 0; j < image.buildIdSize; ++j) {
      buildId[2 * j] = "0123456789abcdef"[image.buildId[j] >> 4];
      buildId[2 * j + 1] = "0123456789abcdef"[image.buildId[j] & 15];
    }
    if (image.buildIdSize) buildId[2 * image.buildIdSize] = '\0';
    w_.str("image ").hex(image.start).ch(' ').hex(image.size).ch(' ').hex(image.bias);
    w_.ch(' ').dec(image.machine).ch(' ').str(buildId).ch(' ').text(image.path).ch('\n');
  }

 private:
  RawWriter& w_;
};

}  // namespace

// Every mapped ELF file (and the vDSO) from /proc/self/maps: from the mapping at file offset
// 0 to the last mapping of the same path.
void forEachLoadedImage(LoadedImageVisitor& visitor) {
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
    if (image.open) visitImage(image, visitor);
    image.open = false;
    const bool candidate = path[0] == '/' || std::strcmp(path, "[vdso]") == 0;
    char magic[SELFMAG];
    if (candidate && offset == 0 && readable && copyOwnMemory(magic, start, SELFMAG) &&
        std::memcmp(magic, ELFMAG, SELFMAG) == 0) {
      image.open = true;
      image.start = start;
      image.end = end;
      copyText(image.path, sizeof image.path, path);
    }
  }
  if (image.open) visitImage(image, visitor);
  ::close(fd);
}

}  // namespace zeplog::detail

namespace zeplog::detail {

void writeLoadedImages(RawWriter& w) {
  ImageLineWriter writer(w);
  forEachLoadedImage(writer);
}

}  // namespace zeplog::detail
