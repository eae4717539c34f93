#include "db/sqlite/tsql_translator.h"

#include <gtest/gtest.h>

#include <string>

#include "db/driver_error.h"
#include "db/query.h"
#include "db/sqlite/sqlite_connection.h"
#include "db/sqlite/tsql_like.h"
#include "json/json_text.h"
#include "serialize/dataset_export.h"
#include "support/temp_database.h"

namespace norvessa {
namespace {

constexpr const char* kSchema = R"(
  CREATE TABLE Grupo (IdGrupo INTEGER PRIMARY KEY, Grupo VARCHAR(60),
                      Situacao INTEGER);
  INSERT INTO Grupo VALUES (1, 'Caf' || char(233), 1), (2, 'CAFE', 1),
    (3, 'cafe', 1), (4, 'Ch' || char(225), 1), (5, 'D''' || char(193) || 'vila', 1),
    (6, '03/01/2024', 1), (7, '50%_off', 1), (8, 'Inativo', 0);
  CREATE TABLE Pedido (IdPedido INTEGER PRIMARY KEY, DtEmissao DATETIME,
                       IdCliente INTEGER, Situacao INTEGER);
  INSERT INTO Pedido VALUES (1, '2024-03-05 08:00:00', 10, 1),
    (2, '2024-03-31 23:00:00', 11, 1), (3, '2024-04-01 00:00:00', 10, 1),
    (4, NULL, 12, 1), (5, '2021-06-01 08:00:00.250', 12, 1);
  CREATE TABLE PedidoItem (IdPedidoItem INTEGER PRIMARY KEY, IdPedido INTEGER,
                           Situacao INTEGER);
  INSERT INTO PedidoItem VALUES (1, 3, 1), (2, 1, 1), (3, 1, 1), (4, 2, 0),
    (5, 5, 1);
)";

class TranslatorTest : public ::testing::Test {
 protected:
  TranslatorTest() : db_(kSchema), connection_(db_.path()) {}

  // The rows as JSON text, or "error: " and the message.
  std::string Rows(const std::string& sql) {
    try {
      Query q(connection_);
      q.SQL().Add(sql);
      q.Open();
      return ToJsonText(ToJSONArray(q));
    } catch (const DriverError& e) {
      return std::string("error: ") + e.what();
    }
  }

  testing::TempDatabase db_;
  SqliteConnection connection_;
};

TEST_F(TranslatorTest, StatementsInRowsOut) {
  struct Case {
    const char* name;
    const char* sql;
    const char* rows;
  };
  const Case cases[] = {
      {"paging",
       "select IdGrupo from Grupo order by IdGrupo\n"
       "OFFSET 1 ROWS FETCH NEXT 2 ROWS ONLY",
       "[2,3]"},
      {"paging past the end",
       "select IdGrupo from Grupo order by IdGrupo "
       "OFFSET 100 ROWS FETCH NEXT 2 ROWS ONLY",
       "[]"},
      {"negative offset refused",
       "select IdGrupo from Grupo order by IdGrupo "
       "OFFSET -1 ROWS FETCH NEXT 2 ROWS ONLY",
       "error: The offset specified in a OFFSET clause may not be negative."},
      {"no rows to fetch refused",
       "select IdGrupo from Grupo order by IdGrupo "
       "OFFSET 0 ROWS FETCH NEXT 0 ROWS ONLY",
       "error: The number of rows provided for a FETCH clause must be "
       "greater then zero."},
      {"style 103, null stays null",
       "select IdPedido, CONVERT(Varchar(10), DtEmissao, 103) as DtEmissao "
       "from Pedido where IdPedido in (1, 4) order by IdPedido",
       R"([{"idpedido":1,"dtemissao":"05\/03\/2024"},{"idpedido":4,"dtemissao":null}])"},
      {"LIKE ignores case and accents",
       "select IdGrupo from Grupo where Grupo like '%CAF%' order by IdGrupo",
       "[1,2,3]"},
      {"LIKE with an accented pattern and the collation",
       "select IdGrupo from Grupo where Grupo like '%caf\xC3\xA9%' "
       "collate Latin1_General_CI_AI order by IdGrupo",
       "[1,2,3]"},
      {"= stays exact", "select IdGrupo from Grupo where Grupo = 'cafe'",
       "[3]"},
      {"quotes doubled",
       "select IdGrupo from Grupo where Grupo = 'D''\xC3\x81vila'", "[5]"},
      {"a quote inside a LIKE pattern",
       "select IdGrupo from Grupo where Grupo like '%''%'", "[5]"},
      {"% and _ are wildcards",
       "select IdGrupo from Grupo where Grupo like '50%_o%'", "[7]"},
      {"a character set",
       "select IdGrupo from Grupo where Grupo like '[cd]%' order by IdGrupo",
       "[1,2,3,4,5]"},
      {"a bracket escapes a wildcard",
       "select IdGrupo from Grupo where Grupo like '50[%]%'", "[7]"},
      {"date literals in comparisons",
       "select IdPedido from Pedido where DtEmissao >= '03/01/2024' "
       "and DtEmissao <= '03/31/2024 23:59:59' order by IdPedido",
       "[1,2]"},
      {"the cut-off date",
       "select IdPedido from Pedido where DtEmissao > '06/01/2021' "
       "order by IdPedido",
       "[1,2,3,5]"},
      {"a date in LIKE is text",
       "select IdGrupo from Grupo where Grupo like '03/01/2024'", "[6]"},
      {"a date in the select list is text", "select '03/01/2024' as x",
       R"(["03\/01\/2024"])"},
      {"an invalid date stays text",
       "select IdPedido from Pedido where DtEmissao > '13/45/2021' "
       "order by IdPedido",
       "[1,2,3,5]"},
      {"ORDER BY a name of the select list with a join",
       "select distinct P.IdPedido, P.IdCliente from Pedido P\n"
       "join PedidoItem PI on (PI.IdPedido = P.IdPedido)\n"
       "where PI.Situacao = 1\norder by IdPedido",
       R"([{"idpedido":1,"idcliente":10},{"idpedido":3,"idcliente":10},{"idpedido":5,"idcliente":12}])"},
      {"ORDER BY an alias",
       "select P.IdCliente as Cliente, count(*) as N from Pedido P "
       "group by P.IdCliente order by Cliente",
       R"([{"cliente":10,"n":2},{"cliente":11,"n":1},{"cliente":12,"n":2}])"},
      {"keywords inside literals are left alone",
       "select 'OFFSET 1 ROWS FETCH NEXT 1 ROWS ONLY' as x",
       R"(["OFFSET 1 ROWS FETCH NEXT 1 ROWS ONLY"])"},
      {"an integer key compared with quoted text",
       "select IdPedidoItem from PedidoItem where IdPedido = '1' "
       "order by IdPedidoItem",
       "[2,3]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Rows(c.sql), c.rows);
  }
}

// TRY_CONVERT(int, x) follows SQL Server's conversion of varchar to int;
// what SQL Server cannot convert is NULL.
TEST_F(TranslatorTest, TryConvertToInt) {
  struct Case {
    const char* value;
    const char* converted;  // "integer n" or "null"
  };
  const Case cases[] = {
      {"'123'", "integer 123"},
      {"'00123'", "integer 123"},
      {"'000000000000000000042'", "integer 42"},
      {"'  42  '", "integer 42"},
      {"'+7'", "integer 7"},
      {"'-12'", "integer -12"},
      {"'2147483647'", "integer 2147483647"},
      {"'-2147483648'", "integer -2147483648"},
      {"''", "integer 0"},
      {"'   '", "integer 0"},
      {"'-'", "integer 0"},
      {"'2147483648'", "null"},
      {"'-2147483649'", "null"},
      {"'99999999999999999999999'", "null"},
      {"'A-17'", "null"},
      {"'12a'", "null"},
      {"'1.0'", "null"},
      {"'1e3'", "null"},
      {"'1 2'", "null"},
      {"'- 5'", "null"},
      {"'+-5'", "null"},
      {"char(9) || '5'", "null"},
      {"'5' || char(10)", "null"},
      {"NULL", "null"},
      {"42", "integer 42"},
      {"3000000000", "null"},
      {"7.9", "integer 7"},
      {"-7.9", "integer -7"},
      {"x'35'", "null"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(Rows(std::string("select coalesce(typeof(V) || ' ' || V, "
                               "'null') as T from (select TRY_CONVERT(int, ") +
                   c.value + ") as V)"),
              std::string("[\"") + c.converted + "\"]");
  }
  EXPECT_EQ(Rows("select IdPedido from Pedido\n"
                 "where TRY_CONVERT(int, '00' || IdCliente) = 10\n"
                 "order by IdPedido"),
            "[1,3]");
}

TEST(TSqlTranslateTest, TextOfTheRewrites) {
  EXPECT_EQ(TranslateTSql("select x from T order by x\n"
                          "OFFSET 20 ROWS FETCH NEXT 10 ROWS ONLY"),
            "select x from T order by x\nLIMIT 10 OFFSET 20");
  EXPECT_EQ(TranslateTSql("select CONVERT(Varchar(10), P.Dt, 103) as D"),
            "select strftime('%d/%m/%Y', P.Dt) as D");
  EXPECT_EQ(TranslateTSql("select CONVERT(int, '5')"),
            "select CAST('5' AS int)");
  EXPECT_EQ(TranslateTSql("where a >= '12/31/2024 23:59:59'"),
            "where a >= '2024-12-31 23:59:59'");
  EXPECT_THROW(TranslateTSql("select CONVERT(Varchar(10), x, 104)"),
               DriverError);
  EXPECT_EQ(TranslateTSql("and TRY_CONVERT(int, F.RegistroAux) = -12"),
            "and tsql_try_convert_int(F.RegistroAux) = -12");
  EXPECT_EQ(TranslateTSql("select try_convert(INT, CONVERT(int, '5'))"),
            "select tsql_try_convert_int(CAST('5' AS int))");
  EXPECT_THROW(TranslateTSql("select TRY_CONVERT(Varchar(10), x)"),
               DriverError);
  EXPECT_THROW(TranslateTSql("select TRY_CONVERT(int, x, 103)"), DriverError);
  // "?" markers are numbered, so that paging can swap them; a count given
  // as a parameter is checked when the statement runs.
  EXPECT_EQ(TranslateTSql("select x from T where a = ? and b = '?'\n"
                          "order by x OFFSET ? ROWS FETCH NEXT ? ROWS ONLY"),
            "select x from T where a = ?1 and b = '?'\n"
            "order by x LIMIT tsql_fetch_rows(?3) OFFSET tsql_offset_rows(?2)");
}

TEST(TSqlLikeTest, Patterns) {
  struct Case {
    const char* pattern;
    const char* text;
    bool match;
  };
  const Case cases[] = {
      {"%caf%", "Caf\xC3\xA9 Pil\xC3\xA3o", true},
      {"caf\xC3\xA9", "CAFE", true},
      {"a_c", "abc", true},
      {"a_c", "ac", false},
      {"%", "", true},
      {"_", "", false},
      {"[a-c]x", "Bx", true},
      {"[^a-c]x", "bx", false},
      {"%a%b%c%", "xxaxxbxxcxx", true},
      {"%a%b%c%", "xxaxxcxxbxx", false},
      {"S\xC3\xA3o%", "SAO PAULO", true},
      {"[", "[", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TSqlLike(c.pattern, c.text), c.match)
        << c.pattern << " / " << c.text;
  }
  EXPECT_TRUE(TSqlLike("50!%", "50%", U'!'));
  EXPECT_FALSE(TSqlLike("50!%", "500", U'!'));

  // One pattern read once, then matched row after row, long and short.
  const TSqlLikePattern leite("%leite%", std::nullopt);
  EXPECT_TRUE(leite.Is("%leite%", std::nullopt));
  EXPECT_FALSE(leite.Is("%leite%", U'!'));
  const std::string long_text(5000, 'x');
  EXPECT_TRUE(leite.Matches("LEITE Integral"));
  EXPECT_FALSE(leite.Matches(long_text));
  EXPECT_TRUE(leite.Matches("p\xC3\xA3o de l\xC3\xA9ite"));
  EXPECT_FALSE(leite.Matches("leit"));
}

// The filter on the embedded database, with the pattern kept across rows
// and replaced when a statement's pattern changes.
TEST(TSqlLikeTest, FiltersRowsInTheDatabase) {
  testing::TempDatabase db(R"(
    CREATE TABLE P (Nome TEXT);
    INSERT INTO P VALUES ('Leite Integral'), ('P' || char(227) || 'o'),
                         ('L' || char(201) || 'ITE em p' || char(243)),
                         ('Caf' || char(233)), (NULL);
  )");
  SqliteConnection c(db.path());
  const auto count = [&](const std::string& where) {
    ResultSet rows = c.Open("select Nome from P where " + where, {});
    return rows.rows.size();
  };
  EXPECT_EQ(count("Nome like '%leite%' collate Latin1_General_CI_AI"), 2u);
  EXPECT_EQ(count("Nome like '%PAO%' collate Latin1_General_CI_AI"), 1u);
  EXPECT_EQ(count("Nome like Nome"), 4u);
  EXPECT_EQ(count("'%e%' like Nome"), 0u);
}

}  // namespace
}  // namespace norvessa
