#include "common/waits.hpp"

namespace zeplog::detail {

Waits& waits() {
  static auto* w = new Waits;  // never destroyed: a late call at exit still reads it
  return *w;
}

}  // namespace zeplog::detail
