// The JSON parsers. What parses is written in the service's JSON text
// form, and that text reads back as the same value and the same text; the
// compact document that request bodies are parsed into accepts the same
// texts and holds the same values.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "json/json_document.h"
#include "json/json_parser.h"
#include "json/json_text.h"
#include "text/utf8.h"

namespace norvessa {
namespace {

bool IsAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 128) return false;
  }
  return true;
}

void CheckQuoted(std::string_view bytes) {
  // Any bytes quoted as one string read back as those bytes made valid
  // UTF-8.
  std::string quoted;
  AppendJsonString(quoted, bytes);
  fuzz::Require(IsAscii(quoted), "a quoted string is pure ASCII");
  const auto back = ParseJson(quoted);
  fuzz::Require(back && back->IsString(), "a quoted string parses");
  fuzz::Require(back->text() == SanitizeUtf8(bytes),
                "a quoted string reads back as its UTF-8");
}

void CheckRoundTrip(std::string_view input) {
  const auto value = ParseJson(input);
  if (!value) return;
  const std::string text = ToJsonText(*value);
  fuzz::Require(IsAscii(text), "the text form is pure ASCII");
  const auto again = ParseJson(text);
  fuzz::Require(again.has_value(), "the text form parses");
  fuzz::Require(*again == *value, "the text form reads back as the value");
  fuzz::Require(ToJsonText(*again) == text, "the text form is stable");
}

void CheckDocument(std::string_view input) {
  const auto value = ParseJson(input);
  const auto document = JsonDocument::Parse(input);
  fuzz::Require(value.has_value() == document.has_value(),
                "both parsers accept the same texts");
  if (!document) return;
  const JsonDocument::Value root = document->Root();
  fuzz::Require(root.ToJsonValue() == *value, "both parsers read one value");
  std::size_t children = 0;
  for (const JsonDocument::Value child : root.children()) {
    if (root.IsObject()) {
      const auto found = root.Find(child.key());
      fuzz::Require(found && found->ToJsonValue() == *value->Find(child.key()),
                    "a key finds its first member");
    }
    ++children;
  }
  fuzz::Require(children == root.size(), "a container walks its size");
}

}  // namespace
}  // namespace norvessa

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view input = norvessa::fuzz::AsText(data, size);
  norvessa::CheckRoundTrip(input);
  norvessa::CheckDocument(input);
  norvessa::CheckQuoted(input);
  return 0;
}
