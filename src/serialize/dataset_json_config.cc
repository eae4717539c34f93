#include "serialize/dataset_json_config.h"

#include "text/ascii.h"

namespace norvessa {
namespace {

bool IsLower(char c) { return c >= 'a' && c <= 'z'; }
bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }

// An underscore is dropped and the character after it copied upper-cased;
// every other character is copied lower-cased.
std::string CamelWalk(std::string_view name, bool upper_first) {
  std::string out;
  out.reserve(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '_') {
      if (i + 1 < name.size()) out += AsciiToUpper(name[++i]);
      continue;
    }
    out += AsciiToLower(name[i]);
  }
  if (upper_first && !out.empty()) out[0] = AsciiToUpper(out[0]);
  return out;
}

}  // namespace

const DataSetJsonConfig& DataSetJsonConfig::GetInstance() {
  static const DataSetJsonConfig config;
  return config;
}

std::string FormatCaseNameDefinition(std::string_view name) {
  std::string key;
  switch (DataSetJsonConfig::GetInstance().case_name_definition) {
    case CaseNameDefinition::kNone:
      key = std::string(name);
      break;
    case CaseNameDefinition::kLower:
      for (char c : name) key += AsciiToLower(c);
      break;
    case CaseNameDefinition::kUpper:
      for (char c : name) key += AsciiToUpper(c);
      break;
    case CaseNameDefinition::kLowerCamelCase:
      key = CamelWalk(name, false);
      break;
    case CaseNameDefinition::kUpperCamelCase:
      key = CamelWalk(name, true);
      break;
  }
  return key.empty() ? std::string(name) : key;
}

std::string FormatDataSetName(std::string_view name) {
  for (const std::string& prefix :
       DataSetJsonConfig::GetInstance().dataset_prefix) {
    if (name.substr(0, prefix.size()) == prefix) {
      name.remove_prefix(prefix.size());
      break;
    }
  }
  return FormatCaseNameDefinition(name);
}

std::string JSONPairToFieldName(std::string_view key) {
  if (DataSetJsonConfig::GetInstance().case_name_definition !=
      CaseNameDefinition::kLowerCamelCase) {
    return std::string(key);
  }
  std::string out;
  out.reserve(key.size() + 4);
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (i > 0 && IsUpper(key[i]) && IsLower(key[i - 1])) out += '_';
    out += AsciiToUpper(key[i]);
  }
  return out;
}

}  // namespace norvessa
