// readDictionary over libplist.
#include <plist/plist.h>

#include <cstdlib>
#include <memory>

#include "tap/identity/plist_reader.h"

namespace identity {
namespace {

struct PlistDeleter {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};

PlistValue valueOf(plist_t node) {
  if (plist_get_node_type(node) == PLIST_BOOLEAN) {
    uint8_t flag = 0;
    plist_get_bool_val(node, &flag);
    return flag != 0;
  }
  if (plist_get_node_type(node) != PLIST_STRING) return std::monostate{};
  char* text = nullptr;
  plist_get_string_val(node, &text);
  std::string value(text != nullptr ? text : "");
  free(text);
  return value;
}

}  // namespace

std::optional<std::map<std::string, PlistValue>> readDictionary(
    const std::string& xml) {
  plist_t parsed = nullptr;
  plist_from_xml(xml.data(), uint32_t(xml.size()), &parsed);
  std::unique_ptr<void, PlistDeleter> root(parsed);
  if (root == nullptr || plist_get_node_type(parsed) != PLIST_DICT)
    return std::nullopt;
  std::map<std::string, PlistValue> entries;
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(parsed, &it);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(parsed, it, &key, &value);
    if (key == nullptr) break;
    entries[key] = valueOf(value);
    free(key);
  }
  free(it);
  return entries;
}

}  // namespace identity
