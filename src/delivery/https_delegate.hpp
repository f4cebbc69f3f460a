// The transport delegate that carries batches to the collector.
#pragma once

namespace zeplog {

// The one process-wide transport delegate. Initialisation creates it; the collector
// transport gives it its request and write-back work.
class kstVelaHttpsDelegate {
 public:
  kstVelaHttpsDelegate() = default;
};

}  // namespace zeplog
