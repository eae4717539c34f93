#include "framework/api_dictionary.h"

#include <stdexcept>
#include <utility>

namespace norvessa {

void ApiDictionary::Add(std::string key, std::string value) {
  if (!items_.emplace(std::move(key), std::move(value)).second) {
    throw std::runtime_error("Duplicates not allowed");
  }
}

void ApiDictionary::AddOrSetValue(std::string key, std::string value) {
  items_.insert_or_assign(std::move(key), std::move(value));
}

bool ApiDictionary::ContainsKey(std::string_view key) const {
  return items_.find(key) != items_.end();
}

const std::string* ApiDictionary::Find(std::string_view key) const {
  auto it = items_.find(key);
  return it == items_.end() ? nullptr : &it->second;
}

const std::string& ApiDictionary::Value(std::string_view key) const {
  const std::string* v = Find(key);
  if (v == nullptr) throw std::runtime_error("Item not found");
  return *v;
}

}  // namespace norvessa
