// What one send cycle knows of the handles and projects its events name.
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "delivery/send_filter.hpp"
#include "event/common_fragment.hpp"
#include "event/global_state.hpp"

namespace zeplog::detail {

// The handles and batches of one send cycle, each looked up once per cycle under
// global_resource_lock instead of once per event. A cycle takes only events queued before
// it began, so a handle read at its first event in the cycle is as current for them as a
// read per event was.
//
// With deferCommon, each handle also gets its CommonFragment, which the cycle's events take
// instead of copies of the common fields. The cycle gathers into batches of its own, which
// publish() appends to the shared ones under one hold of the lock. Used by the send thread
// alone.
class CycleHandles {
 public:
  struct Handle {
    std::string id;
    std::shared_ptr<kstVelaHandle> record;  // null: no handle of that id
    FilterSwitches switches{};
    CommonFragmentPtr common;  // null: the events take the common fields into their own
  };

  // True when events may leave their common fields to a fragment now: nothing looks at a
  // completed event's fields before its JSON is written (no console lines, no before-send
  // hook, no Unity session restart). The OTLP encoding reads the fragment's fields itself.
  static bool commonDeferrable();
  // True when no "v2/log" request is made (every OTLP exporter leaves it out): the events'
  // JSON is then written only for a failed send's write-back, not as they are gathered.
  static bool jsonDeferrable();

  CycleHandles(bool deferCommon, bool deferJson)
      : deferCommon_(deferCommon), deferJson_(deferJson) {}

  // Whether the cycle writes no JSON as it gathers (see jsonDeferrable).
  bool deferJson() const { return deferJson_; }

  // The handle of that id, or null for an unknown one.
  const Handle* handle(const std::string& id);
  // The cycle's batch for the project; null for a project never initialised.
  Batch* batch(const OptText& project);
  // Appends the cycle's batches to the shared ones, leaving the cycle's empty.
  void publish();

 private:
  struct ProjectBatch {
    std::string project;
    bool known = false;  // the shared table has a batch for it
    Batch batch;
  };

  bool deferCommon_;
  bool deferJson_;
  // A program has few handles and projects: both are searched in order. Deques, so the
  // pointers handed out stay valid as entries are added.
  std::deque<Handle> handles_;
  std::deque<ProjectBatch> batches_;
};

}  // namespace zeplog::detail
