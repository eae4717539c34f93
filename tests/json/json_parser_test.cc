#include "json/json_parser.h"

#include <gtest/gtest.h>

#include <string>

#include "json/json_text.h"

namespace norvessa {
namespace {

TEST(JsonParserTest, RoundTripsInTheServiceTextForm) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {R"({"a":1.50})", R"({"a":1.50})"},
      {R"( { "a" : [ 1 , 2e3 , -0.0 ] } )", R"({"a":[1,2e3,-0.0]})"},
      {"123456789012345678901234567890", "123456789012345678901234567890"},
      {"1E400", "1E400"},
      {R"({"k":"v","k":"w"})", R"({"k":"v","k":"w"})"},
      {R"(["\u00e9\/\n"])", R"(["\u00E9\/\n"])"},
      {R"("\ud83d\udd25")", R"("\uD83D\uDD25")"},
      {"[true,false,null]", "[true,false,null]"},
      {R"({"iduf":"35"})", R"({"iduf":"35"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    const auto v = ParseJson(c.in);
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(ToJsonText(*v), c.out);
  }
}

TEST(JsonParserTest, RejectsTextThatIsNotJson) {
  const char* cases[] = {
      "",          "{bad",     "{\"a\":}", "[1,]", "{\"a\":1,}",
      "// c\n1",   "[1] [2]",  "01",       "NaN",  "'a'",
      "{\"a\" 1}", "\"\x01\"", "[1 2]",    "tru",  "\"\\x\"",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(ParseJson(text).has_value());
  }
}

TEST(JsonParserTest, NestingStopsAtSixtyFourLevels) {
  const auto nested = [](int depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  EXPECT_TRUE(ParseJson(nested(64)).has_value());
  EXPECT_FALSE(ParseJson(nested(65)).has_value());
  EXPECT_FALSE(ParseJson(nested(100000)).has_value());
}

TEST(JsonParserTest, KeepsStringsAndKeysSplitAcrossEscapes) {
  const auto v = ParseJson(R"({"a\"b":"c\\d","x":{"y":[1,{"z":null}]}})");
  ASSERT_TRUE(v.has_value());
  ASSERT_NE(v->Find("a\"b"), nullptr);
  EXPECT_EQ(v->Find("a\"b")->text(), "c\\d");
  const JsonValue* x = v->Find("x");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->Find("y")->elements().at(1).Find("z")->kind(), JsonKind::kNull);
}

}  // namespace
}  // namespace norvessa
