#include "json/json_document.h"

#include <gtest/gtest.h>

#include <string>

#include "json/json_parser.h"
#include "json/json_text.h"

namespace norvessa {
namespace {

// The compact document reads every text exactly as the value tree does.
TEST(JsonDocumentTest, ReadsWhatTheTreeParserReads) {
  const std::string long_string(20000, 'x');
  const std::string texts[] = {
      R"({"iduf":"35","v":1.50,"n":null,"t":true,"f":false})",
      R"( [1, -0.0, 1e3, 12345678901234567890, "a\"b\\c\u00E9\uD83D\uDE00"] )",
      R"({"a":{"b":[[],{},[{"c":"d"}]]},"a":2,"":""})",
      R"("just a string")",
      "42",
      "[\"" + long_string + "\"]",
      "{bad",
      "[1,]",
      "{\"a\":1} x",
      "",
      "[\"\xFF\"]",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.substr(0, 60));
    const auto tree = ParseJson(text);
    const auto doc = JsonDocument::Parse(text);
    ASSERT_EQ(doc.has_value(), tree.has_value());
    if (!doc) continue;
    EXPECT_EQ(ToJsonText(doc->Root().ToJsonValue()), ToJsonText(*tree));
  }
}

TEST(JsonDocumentTest, WalksMembersInOrderAndFindsTheFirstOfDuplicates) {
  const auto doc =
      JsonDocument::Parse(R"({"a":1,"b":[true,{"c":"x"}],"a":"second"})");
  ASSERT_TRUE(doc);
  const JsonDocument::Value root = doc->Root();
  EXPECT_TRUE(root.IsObject());
  EXPECT_EQ(root.size(), 3u);
  std::string keys;
  for (const JsonDocument::Value member : root.children()) {
    keys += std::string(member.key()) + ";";
  }
  EXPECT_EQ(keys, "a;b;a;");
  EXPECT_EQ(root.Find("a")->text(), "1");
  EXPECT_TRUE(root.Find("a")->IsNumber());
  const auto b = root.Find("b");
  ASSERT_TRUE(b && b->IsArray());
  EXPECT_EQ(b->size(), 2u);
  auto it = b->children().begin();
  EXPECT_TRUE((*it).IsBool());
  ++it;
  EXPECT_EQ((*it).Find("c")->text(), "x");
  EXPECT_FALSE(root.Find("c"));
  EXPECT_FALSE(root.Find("A"));
}

TEST(JsonDocumentTest, ValuesAndNestingAreBounded) {
  // Every scalar, array and object counts one.
  EXPECT_TRUE(JsonDocument::Parse(R"([1,{"a":2}])", 4));
  EXPECT_FALSE(JsonDocument::Parse(R"([1,{"a":2}])", 3));
  std::string deep(kMaxJsonDepth, '[');
  deep += std::string(kMaxJsonDepth, ']');
  EXPECT_TRUE(JsonDocument::Parse(deep));
  EXPECT_FALSE(JsonDocument::Parse("[" + deep + "]"));

  std::string many = "[1";
  for (std::size_t i = 1; i < kMaxJsonValues - 1; ++i) many += ",1";
  many += "]";
  const auto largest = JsonDocument::Parse(many);
  ASSERT_TRUE(largest);
  EXPECT_EQ(largest->value_count(), kMaxJsonValues);
  EXPECT_FALSE(JsonDocument::Parse("[1," + many.substr(1)));
  // No allocation per value: fixed nodes and the text, nothing else.
  EXPECT_LE(largest->MemoryUsed(), kMaxJsonValues * 28 + many.size());
}

}  // namespace
}  // namespace norvessa
