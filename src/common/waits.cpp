#include "common/waits.hpp"

#include "common/no_destructor.hpp"

namespace zeplog::detail {

namespace {
// Made at compile time, not on first use, and never destroyed: a late call at exit still
// reads it, and a forked child never inherits it half made.
constinit NoDestructor<Waits> g_waits;
}  // namespace

Waits& waits() { return g_waits.value; }

}  // namespace zeplog::detail
