#include "text/ascii.h"

#include <gtest/gtest.h>

#include <string>

namespace norvessa {
namespace {

// Names of fields, parameters, settings keys and SQL words compare without
// regard to ASCII letter case, and only ASCII letters fold.
TEST(AsciiTest, EqualsIgnoreCaseFoldsAsciiLettersOnly) {
  struct Case {
    std::string a, b;
    bool equal;
  };
  const Case cases[] = {
      {"SQLite", "sqlite", true},
      {"MSSQL9", "mssql9", true},
      {"IdPedido", "IDPEDIDO", true},
      {"", "", true},
      {"abc", "abcd", false},
      // Bytes that differ in bit 5 only but are no letters.
      {"@", "`", false},
      {"[", "{", false},
      {"MSSQL9", "MSSQL\x19", false},
      // UTF-8 bytes stay as they are: "É" and "é" differ.
      {"\xC3\x89", "\xC3\xA9", false},
      {"\xC3\x89", "\xC3\x89", true},
      {"\xC0", "\xE0", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EqualsIgnoreCase(c.a, c.b), c.equal) << c.a << " / " << c.b;
    EXPECT_EQ(EqualsIgnoreCase(c.b, c.a), c.equal) << c.b << " / " << c.a;
  }
}

TEST(AsciiTest, UpperAndLowerLeaveOtherBytes) {
  EXPECT_EQ(AsciiUpper("Pedido_\xC3\xA7@z"), "PEDIDO_\xC3\xA7@Z");
  EXPECT_EQ(AsciiLower("PEDIDO_\xC3\x87`Z"), "pedido_\xC3\x87`z");
  EXPECT_TRUE(StartsWithIgnoreCase("application/JSON; charset=utf-8",
                                   "APPLICATION/json"));
  EXPECT_EQ(TrimBlanks(" \t x y \r\n"), "x y");
}

}  // namespace
}  // namespace norvessa
