// A project's events gathered for its next request, and the request's body.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "event/common_fragment.hpp"
#include "zeplog/vela_event.hpp"

namespace zeplog::detail {

// A project's events gathered for its next request. Beside each event, the common fields of
// its handle when they are still to be written after the event's own members (null: the
// event's fields hold them already, or it needs none).
//
// The send thread writes each event's JSON as it gathers it (write, then push), so the body
// is written once and its size known while gathering. An event added without being written
// (push alone) leaves the body to be written whole when it is taken (takeBody). Guarded by
// global_resource_lock while it sits in the shared table; a send cycle's own batch is its
// thread's alone.
struct Batch {
  std::vector<VelaEventPtr> events;
  std::vector<CommonFragmentPtr> common;  // one per event
  std::size_t bytes = 0;                  // the events' weights: room for the body

  // Writes the event's JSON object as the next element of the body (its bulk index its
  // position) without adding the event, and returns its weight: the object without the bulk
  // index. The event has a handle id. Writing again, or taking the body, before push() of
  // that event drops what was written.
  std::size_t write(const VelaEventPtr& event, const CommonFragmentPtr& fragment);
  // Adds the event; one just written keeps its text.
  void push(VelaEventPtr event, CommonFragmentPtr fragment = nullptr, std::size_t weight = 0);

  bool empty() const { return events.empty(); }
  std::size_t size() const { return events.size(); }
  void clear();

  // The request body: a JSON array of the events' objects, each with its bulk index (its
  // position). An event without a handle id is left out but keeps its position. handleId
  // becomes that of the last event that has one; count the number of objects. The batch
  // keeps its events; its text is given away.
  std::string takeBody(std::string& handleId, std::size_t& count);
  // What takeBody would give as handleId and count, without writing the body: the number of
  // events with a handle id, handleId that of the last one.
  std::size_t countSendable(std::string& handleId) const;

  // Keeps a request body's buffer, once posted, for the next body this thread writes: a body
  // runs to megabytes, and fresh memory for each one costs a page fault per page. One buffer
  // per thread, of at most 8 MiB, is kept.
  static void recycle(std::string&& buffer);

 private:
  std::string text_;                    // "[" and the objects of the first written_ events
  std::size_t written_ = 0;             // events whose objects text_ holds, in order
  std::size_t committed_ = 0;           // text_'s size after the last pushed object
  const VelaEvent* pending_ = nullptr;  // written, not yet pushed
};

}  // namespace zeplog::detail
