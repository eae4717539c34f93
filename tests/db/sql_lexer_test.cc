#include "db/sql_lexer.h"

#include <gtest/gtest.h>

namespace norvessa {
namespace {

TEST(SqlLexerTest, JoiningTheTokensGivesTheTextBack) {
  const char* texts[] = {
      "select P.*, 'it''s' as x from [Pedido Item] where a <> :Id -- c :No\n",
      "/* :Nope */ update T set x = N'caf\xC3\xA9' where y >= 1.5e3",
      "select 'unterminated",
      "",
  };
  for (const char* text : texts) {
    EXPECT_EQ(JoinTokens(TokenizeSql(text)), text);
  }
}

TEST(SqlLexerTest, ParametersNeverComeFromLiteralsOrComments) {
  EXPECT_EQ(SqlParameterNames(
                "insert into T values (:IdPedido, ':Texto', :Valor) -- :Nao\n"
                "/* :Tambem */ and x = :IdPedido"),
            (std::vector<std::string>{"IdPedido", "Valor", "IdPedido"}));
}

TEST(SqlLexerTest, QuotesAndUnquotes) {
  EXPECT_EQ(QuoteSqlString("D'\xC3\x81vila"), "'D''\xC3\x81vila'");
  const auto tokens = TokenizeSql("'a''b'");
  ASSERT_EQ(tokens.size(), 1u);
  EXPECT_EQ(StringLiteralValue(tokens[0]), "a'b");
}

}  // namespace
}  // namespace norvessa
