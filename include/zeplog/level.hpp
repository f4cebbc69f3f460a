// The five levels of a log call.
#pragma once

namespace zeplog {

// In rising order of severity; the level texts of events are "DEBUG" ... "FATAL".
enum class Level { Debug, Info, Warn, Error, Fatal };

}  // namespace zeplog
