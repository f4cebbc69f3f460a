// The application's before-send hook and the redaction of fields, run on the send thread.
#pragma once

#include <functional>

#include "zeplog/vela_event.hpp"

namespace zeplog::detail {

using BeforeSendHook = std::function<bool(VelaEvent&)>;

// Replaces the hook; an empty function removes it. Swapped whole, so the send thread reads
// it without a lock.
void setBeforeSend(BeforeSendHook hook);
// True while a hook is installed: it must see every event with its common fields in place.
bool beforeSendInstalled();

// Runs the hook on one event whose common fields are complete, then redacts its fields.
// False when the event is to be dropped: the hook returned false or threw (a console line);
// either is counted in droppedByBeforeSend. Call it with no library lock held.
bool applyBeforeSend(VelaEvent& event);

}  // namespace zeplog::detail
