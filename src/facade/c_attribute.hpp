// A C caller's zeplog_attribute read as the C++ Attribute.
#pragma once

#include <optional>

#include "zeplog/attribute.hpp"
#include "zeplog/zeplog.h"

namespace zeplog::detail {

// The attribute with views into the caller's strings (a NULL key or text is ""); none for a
// type outside the enumeration. The type is read as the int the caller stored: a value
// outside the enumeration must not be loaded as the enum.
std::optional<Attribute> attributeOfC(const zeplog_attribute& a);

}  // namespace zeplog::detail
