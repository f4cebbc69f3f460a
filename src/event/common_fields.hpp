// The handle's common fields of an event, and the small values they are made of.
#pragma once

#include <string>
#include <vector>

#include "zeplog/text.hpp"
#include "zeplog/vela_event.hpp"
#include "zeplog/vela_handle.hpp"

namespace zeplog::detail {

// Adds the handle's common fields to fields; false (fields untouched) for an unknown handle.
// Takes global_resource_lock itself; the "load /" console lines follow its release.
bool copyCommonFields(Fields& fields, Text handleId);
// The same for a record in hand. The caller holds global_resource_lock, or knows that no
// thread can change the record (the crash upload, when the lock's holder is frozen).
void copyCommonFieldsOf(Fields& fields, const kstVelaHandle& handle);
// The same without console output: the "load /" lines, when lines is given, are added to it
// for the caller to write once the lock is released.
void addCommonFieldsOf(Fields& fields, const kstVelaHandle& handle,
                       std::vector<std::string>* lines);
// "-" while host reporting is off, none while it is on.
OptText getHost();
// The UTF-8 text of a byte-data value; "" for text or no value; none for invalid UTF-8.
OptText idToNSString(const FieldValue* value);
// The device's IPv4 address, preferring the wireless or wired interface; "0.0.0.0" if none.
std::string getIPAddress();

}  // namespace zeplog::detail
