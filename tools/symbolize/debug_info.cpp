// Source locations through libdwfl: the modules are reported at their load biases, and each
// address is looked up in the line table and in the DWARF scopes that hold it (for inlining).
#include "debug_info.hpp"

#include <cxxabi.h>
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwelf.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <libelf.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace zeplog::symbolize {
namespace {

std::string demangled(const char* name) {
  if (!name) return "";
  int status = 0;
  char* text = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string out = status == 0 && text ? text : name;
  std::free(text);
  return out;
}

// The GNU build id of an ELF file as lower-case hex; "" when it has none or is no ELF file.
std::string fileBuildId(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  std::string id;
  if (Elf* elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr)) {
    const void* bytes = nullptr;
    const ssize_t n = dwelf_elf_gnu_build_id(elf, &bytes);
    for (ssize_t i = 0; i < n; ++i) {
      const auto b = static_cast<const unsigned char*>(bytes)[i];
      id += "0123456789abcdef"[b >> 4];
      id += "0123456789abcdef"[b & 15];
    }
    elf_end(elf);
  }
  ::close(fd);
  return id;
}

// The function a scope names: its linkage name demangled, else its plain name, through its
// declaration or the function it was inlined from (dwarf_attr_integrate follows both).
std::string scopeFunction(Dwarf_Die* scope) {
  Dwarf_Attribute attr;
  for (int name : {DW_AT_linkage_name, DW_AT_MIPS_linkage_name}) {
    if (dwarf_attr_integrate(scope, name, &attr)) return demangled(dwarf_formstring(&attr));
  }
  if (dwarf_attr_integrate(scope, DW_AT_name, &attr)) return dwarf_formstring(&attr);
  return "";
}

// Appends the code scopes under die that hold pc, outermost first: functions, inlined calls
// and blocks, looking into namespaces and classes (which hold no code themselves).
void addScopesAt(Dwarf_Die* die, Dwarf_Addr pc, std::vector<Dwarf_Die>& chain) {
  Dwarf_Die child;
  if (dwarf_child(die, &child) != 0) return;
  do {
    switch (dwarf_tag(&child)) {
      case DW_TAG_namespace:
      case DW_TAG_class_type:
      case DW_TAG_structure_type:
        addScopesAt(&child, pc, chain);
        break;
      case DW_TAG_subprogram:
      case DW_TAG_inlined_subroutine:
      case DW_TAG_lexical_block:
        if (dwarf_haspc(&child, pc) == 1) {
          chain.push_back(child);
          addScopesAt(&child, pc, chain);
          return;
        }
        break;
      default:
        break;
    }
  } while (dwarf_siblingof(&child, &child) == 0);
}

// Where an inlined call was made: its call file, line and column.
SourceFrame callSite(Dwarf_Die* inlined, Dwarf_Files* files) {
  SourceFrame site;
  Dwarf_Attribute attr;
  Dwarf_Word value = 0;
  if (files && dwarf_formudata(dwarf_attr(inlined, DW_AT_call_file, &attr), &value) == 0)
    if (const char* file = dwarf_filesrc(files, value, nullptr, nullptr)) site.file = file;
  if (dwarf_formudata(dwarf_attr(inlined, DW_AT_call_line, &attr), &value) == 0)
    site.line = static_cast<int>(value);
  if (dwarf_formudata(dwarf_attr(inlined, DW_AT_call_column, &attr), &value) == 0)
    site.column = static_cast<int>(value);
  return site;
}

}  // namespace

struct DebugInfo::Impl {
  std::string debugPath;  // the folders, ':'-separated, for libdwfl's own build-id lookups
  char* debugPathText = nullptr;
  Dwfl_Callbacks callbacks{};
  Dwfl* dwfl = nullptr;
};

DebugInfo::DebugInfo(const std::vector<CrashModule>& modules,
                     const std::vector<std::string>& debugDirs)
    : impl_(std::make_unique<Impl>()) {
  elf_version(EV_CURRENT);
  std::vector<std::string> dirs = debugDirs;
  dirs.push_back("/usr/lib/debug");
  for (const std::string& dir : dirs)
    impl_->debugPath += (impl_->debugPath.empty() ? "" : ":") + dir;
  impl_->debugPathText = impl_->debugPath.data();
  impl_->callbacks.find_elf = dwfl_build_id_find_elf;
  impl_->callbacks.find_debuginfo = dwfl_standard_find_debuginfo;
  impl_->callbacks.section_address = dwfl_offline_section_address;
  impl_->callbacks.debuginfo_path = &impl_->debugPathText;
  impl_->dwfl = dwfl_begin(&impl_->callbacks);
  if (!impl_->dwfl) {
    warnings_.push_back(std::string("libdwfl: ") + dwfl_errmsg(-1));
    return;
  }
  dwfl_report_begin(impl_->dwfl);
  for (const CrashModule& m : modules) {
    const std::string name = m.path.substr(m.path.rfind('/') + 1);
    std::string file;
    if (!m.buildId.empty()) {
      for (const std::string& dir : dirs) {
        const std::string candidate =
            dir + "/.build-id/" + m.buildId.substr(0, 2) + "/" + m.buildId.substr(2) + ".debug";
        if (::access(candidate.c_str(), R_OK) == 0 && fileBuildId(candidate) == m.buildId) {
          file = candidate;
          break;
        }
      }
    }
    if (file.empty() && ::access(m.path.c_str(), R_OK) == 0 &&
        (m.buildId.empty() || fileBuildId(m.path) == m.buildId))
      file = m.path;
    if (file.empty()) {
      // The vDSO ("[vdso]") has no file to find: no warning for it.
      if (m.path.starts_with("[")) continue;
      warnings_.push_back(m.path + ": no file with build id " +
                          (m.buildId.empty() ? "(none)" : m.buildId) + ", no symbols");
      continue;
    }
    if (!dwfl_report_elf(impl_->dwfl, name.c_str(), file.c_str(), -1, m.bias, false))
      warnings_.push_back(file + ": " + dwfl_errmsg(-1));
  }
  dwfl_report_end(impl_->dwfl, nullptr, nullptr);
}

DebugInfo::~DebugInfo() {
  if (impl_->dwfl) dwfl_end(impl_->dwfl);
}

std::string DebugInfo::moduleName(std::uint64_t address) const {
  Dwfl_Module* mod = impl_->dwfl ? dwfl_addrmodule(impl_->dwfl, address) : nullptr;
  if (!mod) return "";
  const char* name =
      dwfl_module_info(mod, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  return name ? name : "";
}

std::vector<SourceFrame> DebugInfo::describe(std::uint64_t address, bool returnAddress) const {
  const Dwarf_Addr at = returnAddress && address > 0 ? address - 1 : address;
  Dwfl_Module* mod = impl_->dwfl ? dwfl_addrmodule(impl_->dwfl, at) : nullptr;
  if (!mod) return {};
  // The innermost location: the line table's.
  SourceFrame inner;
  if (Dwfl_Line* line = dwfl_module_getsrc(mod, at)) {
    if (const char* file =
            dwfl_lineinfo(line, nullptr, &inner.line, &inner.column, nullptr, nullptr))
      inner.file = file;
  }
  std::vector<SourceFrame> frames;
  Dwarf_Addr bias = 0;
  if (Dwarf_Die* cu = dwfl_module_addrdie(mod, at, &bias)) {
    std::vector<Dwarf_Die> chain;
    addScopesAt(cu, at - bias, chain);
    Dwarf_Files* files = nullptr;
    std::size_t fileCount = 0;
    dwarf_getsrcfiles(cu, &files, &fileCount);
    SourceFrame next = inner;
    // Innermost first: each inlined call's location is its caller's line.
    for (auto scope = chain.rbegin(); scope != chain.rend(); ++scope) {
      const int tag = dwarf_tag(&*scope);
      if (tag != DW_TAG_inlined_subroutine && tag != DW_TAG_subprogram) continue;
      next.function = scopeFunction(&*scope);
      next.inlined = tag == DW_TAG_inlined_subroutine;
      frames.push_back(next);
      if (!next.inlined) break;
      next = callSite(&*scope, files);
    }
  }
  if (frames.empty()) {
    // No DWARF scope: the symbol table's name, with what the line table says.
    inner.function = demangled(dwfl_module_addrname(mod, at));
    frames.push_back(inner);
  }
  return frames;
}

}  // namespace zeplog::symbolize
