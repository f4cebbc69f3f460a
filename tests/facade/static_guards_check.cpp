// Every process-wide object of the shared library is made before main runs: none is left to
// a first use. A function-local static with a dynamic initialiser is made by its first
// caller under a guard; a child forked while another thread is inside that guard inherits it
// "in progress" and waits on it for ever. So, at the start of main, before any library call,
// every guard variable the library's symbol table lists must already say "done" (its first
// byte set). Thread-local guards are per thread and exempt. A failure names each object
// still waiting for its first use: make it constinit, or make it while the library loads.
#include <cxxabi.h>
#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include "zeplog/zeplog.h"

namespace {

std::string demangled(const std::string& name) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> out(
      abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), std::free);
  return status == 0 && out ? out.get() : name;
}

}  // namespace

int main() {
  Dl_info info{};
  link_map* map = nullptr;
  if (::dladdr1(reinterpret_cast<void*>(&zeplog_flush), &info, reinterpret_cast<void**>(&map),
                RTLD_DL_LINKMAP) == 0 ||
      map == nullptr) {
    std::puts("the shared library was not found");
    return 1;
  }
  const std::string command = std::string("readelf -sW '") + map->l_name + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return 1;
  int symbols = 0;
  int guards = 0;
  int pending = 0;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe)) {
    // "  Num: Value Size Type Bind Vis Ndx Name"
    std::istringstream in(line);
    std::string num, value, size, type, bind, vis, ndx, name;
    if (!(in >> num >> value >> size >> type >> bind >> vis >> ndx >> name)) continue;
    ++symbols;
    if (type != "OBJECT" || name.rfind("_ZGV", 0) != 0 || ndx == "UND") continue;
    ++guards;
    const auto* guard =
        reinterpret_cast<const unsigned char*>(map->l_addr + std::stoull(value, nullptr, 16));
    if (*guard == 0) {
      ++pending;
      std::printf("made on first use: %s\n", demangled(name).c_str());
    }
  }
  ::pclose(pipe);
  std::printf("%d symbols, %d guard variables, %d not yet made at main\n", symbols, guards,
              pending);
  // An empty symbol table (a stripped library) would make the check prove nothing.
  return symbols > 0 && pending == 0 ? 0 : 1;
}
