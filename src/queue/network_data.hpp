// One latency-probe request.
#pragma once

#include <string>

namespace zeplog {

// A URL to probe for a handle, handed from the settings thread to the probe thread.
struct NetworkData {
  std::string handlerId;
  std::string url;
};

}  // namespace zeplog
