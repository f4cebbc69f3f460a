#include "settings/settings_thread.hpp"

namespace zeplog::detail {

// The settings and probe threads are not built yet: handle ids stay on the handler queue.
bool createPerformanceThread() { return false; }

}  // namespace zeplog::detail
