#ifndef NORVESSA_FRAMEWORK_API_DICTIONARY_H_
#define NORVESSA_FRAMEWORK_API_DICTIONARY_H_

#include <map>
#include <string>
#include <string_view>

namespace norvessa {

// A dictionary of request texts whose keys compare exactly.
class ApiDictionary {
 public:
  using Map = std::map<std::string, std::string, std::less<>>;

  // Fails with "Duplicates not allowed" when the key is already present.
  void Add(std::string key, std::string value);
  void AddOrSetValue(std::string key, std::string value);

  bool ContainsKey(std::string_view key) const;
  // nullptr when the key is absent.
  const std::string* Find(std::string_view key) const;
  // Fails with "Item not found" when the key is absent.
  const std::string& Value(std::string_view key) const;

  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  Map::const_iterator begin() const { return items_.begin(); }
  Map::const_iterator end() const { return items_.end(); }

 private:
  Map items_;
};

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_API_DICTIONARY_H_
