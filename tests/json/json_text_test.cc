#include "json/json_text.h"

#include <gtest/gtest.h>

#include <string>

namespace norvessa {
namespace {

struct Case {
  const char* name;
  JsonValue value;
  std::string text;
};

JsonValue Str(std::string s) { return JsonValue::String(std::move(s)); }

TEST(JsonTextTest, WritesTheServiceTextForm) {
  JsonValue nested = JsonValue::Object();
  nested.AddPair("a", JsonValue::Array()
                          .Add(JsonValue::Number("1.50"))
                          .Add(JsonValue::Bool(true))
                          .Add(JsonValue::Null())
                          .Add(JsonValue::Object()));
  nested.AddPair("b", JsonValue::NullString());
  nested.AddPair("a", Str("dup"));

  const Case cases[] = {
      {"null", JsonValue::Null(), "null"},
      {"true", JsonValue::Bool(true), "true"},
      {"false", JsonValue::Bool(false), "false"},
      {"number keeps its text", JsonValue::Number("1.50"), "1.50"},
      {"integer", JsonValue::Number(-42), "-42"},
      {"empty string", Str(""), "\"\""},
      {"string marked as null", JsonValue::NullString(), "null"},
      {"slash, quote, backslash", Str("a/b\"c\\d"), R"("a\/b\"c\\d")"},
      {"short escapes", Str("\b\t\n\f\r"), R"("\b\t\n\f\r")"},
      {"other controls", Str(std::string("\x01\x1F\0", 3)),
       R"("\u0001\u001F\u0000")"},
      {"DEL passes", Str("\x7F"), "\"\x7F\""},
      {"accented letter, upper-case hex", Str("caf\xC3\xA9"), R"("caf\u00E9")"},
      {"euro sign", Str("\xE2\x82\xAC"), R"("\u20AC")"},
      {"beyond the basic plane: two escapes", Str("\xF0\x9F\x94\xA5"),
       R"("\uD83D\uDD25")"},
      {"malformed UTF-8 becomes U+FFFD",
       Str("a\xFF"
           "b\xC3"),
       R"("a\uFFFDb\uFFFD")"},
      {"empty containers", JsonValue::Array().Add(JsonValue::Object()), "[{}]"},
      {"compact, ordered, duplicates kept", nested,
       R"({"a":[1.50,true,null,{}],"b":null,"a":"dup"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ToJsonText(c.value), c.text);
  }
}

TEST(JsonTextTest, KeysAreEscapedLikeStrings) {
  JsonValue v = JsonValue::Object();
  v.AddPair("n\xC3\xA3o/sim", JsonValue::Number(1));
  EXPECT_EQ(ToJsonText(v), R"({"n\u00E3o\/sim":1})");
}

TEST(JsonTextTest, DeepValuesDoNotUseTheCallStack) {
  JsonValue v = JsonValue::Array();
  // Built from the inside out so that no step nests deeper than needed.
  for (int i = 0; i < 10000; ++i) {
    JsonValue outer = JsonValue::Array();
    outer.Add(std::move(v));
    v = std::move(outer);
  }
  const std::string text = ToJsonText(v);
  EXPECT_EQ(text.size(), 2u * 10001u);
  EXPECT_EQ(text.substr(0, 3), "[[[");
  // Unwind by hand so the destructor does not recurse 10000 levels.
  while (!v.elements().empty()) {
    JsonValue inner = std::move(v.elements().front());
    v = std::move(inner);
  }
}

}  // namespace
}  // namespace norvessa
