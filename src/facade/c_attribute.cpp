#include "facade/c_attribute.hpp"

#include <cstring>
#include <string_view>

namespace zeplog::detail {

std::optional<Attribute> attributeOfC(const zeplog_attribute& a) {
  static_assert(sizeof(zeplog_attribute_type) == sizeof(int));
  int type = 0;
  std::memcpy(&type, &a.type, sizeof type);
  const std::string_view key = a.key ? std::string_view(a.key) : std::string_view();
  switch (type) {
    case ZEPLOG_ATTRIBUTE_TEXT:
      return Attribute{key, AttributeValue(a.value.text)};
    case ZEPLOG_ATTRIBUTE_INT:
      return Attribute{key, AttributeValue(a.value.integer)};
    case ZEPLOG_ATTRIBUTE_DOUBLE:
      return Attribute{key, AttributeValue(a.value.number)};
    case ZEPLOG_ATTRIBUTE_BOOL:
      return Attribute{key, AttributeValue(a.value.boolean != 0)};
    default:
      return std::nullopt;
  }
}

}  // namespace zeplog::detail
