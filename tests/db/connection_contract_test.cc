// What every driver promises through Connection, run over SQLite itself
// and over the ODBC code through Debian's SQLite ODBC driver, on a real file.
// Built a second time into the scripted driver's executable, it runs over
// the ODBC code as it talks to SQL Server (NOCOUNT, SCOPE_IDENTITY, the
// driver's own transactions), the scripted driver answering from the file.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/connection_pool.h"
#include "db/driver_error.h"
#include "db/odbc/odbc_connection.h"
#include "db/query.h"
#include "db/sqlite/sqlite_connection.h"
#include "db/unit_of_work.h"
#include "json/json_text.h"
#include "serialize/dataset_export.h"
#include "support/temp_database.h"

#ifdef NORVESSA_CONTRACT_OVER_SCRIPTED_SQL_SERVER
#include "support/scripted_odbc/scripted_odbc_fixture.h"
#endif

namespace norvessa {
namespace {

struct Driver {
  std::string name;
  std::function<std::unique_ptr<Connection>(const std::string& path)> open;
  // Execute tells the rows touched; SQL Server with SET NOCOUNT ON does not.
  bool counts = true;
  // Reads T-SQL (OFFSET ... FETCH), as the service's drivers do; Debian's
  // SQLite ODBC driver, used bare, does not.
  bool tsql = true;
};

void PrintTo(const Driver& driver, std::ostream* out) { *out << driver.name; }

std::unique_ptr<Connection> OpenSqlite(const std::string& path) {
  return std::make_unique<SqliteConnection>(path);
}

std::unique_ptr<Connection> OpenOdbc(const std::string& path) {
  OdbcOptions options;
  options.connection_string = "DRIVER={SQLite3};Database=" + path + ";";
  options.dialect = OdbcOptions::Dialect::kSqlite;
  return std::make_unique<OdbcConnection>(options);
}

#ifdef NORVESSA_CONTRACT_OVER_SCRIPTED_SQL_SERVER
std::unique_ptr<Connection> OpenScriptedSqlServer(const std::string& path) {
  testing::ScriptedOdbc().SetBackend(path);
  OdbcOptions options;
  options.connection_string = testing::ScriptedConnectionString();
  options.dialect = OdbcOptions::Dialect::kSqlServer;
  options.freetds = true;
  return std::make_unique<OdbcConnection>(options);
}
#endif

constexpr const char* kSchema = R"(
  CREATE TABLE Pedido (IdPedido INTEGER PRIMARY KEY, Cliente VARCHAR(60),
                       Total NUMERIC(15,4), Peso REAL, DtEmissao DATETIME,
                       Obs TEXT);
  INSERT INTO Pedido VALUES (41, 'S' || char(227) || 'o Jo' || char(227) || 'o',
                             12.34, 1.5, '2024-03-05 14:05:09', NULL);
)";

// Pedido's rows after the first, as "Cliente|Obs;..." (Obs null as "null").
constexpr const char* kNewRows =
    "select ifnull(group_concat(Cliente || '|' || ifnull(Obs, 'null'), ';'),"
    " '') from (select * from Pedido where IdPedido > 41 order by IdPedido)";

class ConnectionContractTest : public ::testing::TestWithParam<Driver> {
 protected:
  std::unique_ptr<Connection> Connect() { return GetParam().open(db_.path()); }
  // What Execute says of `rows` rows touched.
  std::optional<std::int64_t> Touched(std::int64_t rows) const {
    if (!GetParam().counts) return std::nullopt;
    return rows;
  }

  testing::TempDatabase db_{kSchema};
};

TEST_P(ConnectionContractTest, OpensAWorkingConnection) {
  const auto c = Connect();
  EXPECT_FALSE(c->IsBroken());
  EXPECT_FALSE(c->InTransaction());
  EXPECT_TRUE(c->IsAlive());
  const ResultSet none = c->Open("select IdPedido from Pedido where 1 = 0", {});
  ASSERT_EQ(none.columns.size(), 1u);
  EXPECT_EQ(none.columns[0].name, "IdPedido");
  EXPECT_TRUE(none.rows.empty());
}

TEST_P(ConnectionContractTest, ColumnsAreTyped) {
  const auto c = Connect();
  Query q(*c);
  q.SQL().Add(
      "select IdPedido, Cliente, Total, Peso, DtEmissao, Obs from Pedido");
  q.Open();
  const std::pair<const char*, FieldType> types[] = {
      {"IdPedido", FieldType::kInteger},
      {"Cliente", FieldType::kString},
      {"Peso", FieldType::kFloat},
      {"DtEmissao", FieldType::kTimeStamp},
  };
  for (const auto& [name, type] : types) {
    EXPECT_EQ(q.FieldByName(name).DataType(), type) << name;
  }
  // SQLite's ODBC driver declares NUMERIC as a float, SQL Server's drivers
  // as a decimal: either way a number with a fraction.
  EXPECT_EQ(KindOf(q.FieldByName("Total").DataType()), FieldKind::kDecimal);
  EXPECT_EQ(q.FieldByName("Cliente").Size(), 60);
  EXPECT_EQ(
      ToJsonText(ToJSONArray(q)),
      R"([{"idpedido":41,"cliente":"S\u00E3o Jo\u00E3o","total":12.34,)"
      R"("peso":1.5,"dtemissao":"2024-03-05T14:05:09.000Z","obs":null}])");
}

TEST_P(ConnectionContractTest, BindsEveryKindOfParameter) {
  const auto c = Connect();
  const std::string name = "D'\xC3\x81vila \xE2\x82\xAC ':Cliente'";
  const std::string long_text(20000, 'x');
  const DateTime when = DateTime::FromParts(2024, 3, 5, 1, 2, 3, 456);
  EXPECT_EQ(c->Execute("insert into Pedido (IdPedido, Cliente, Total, Peso, "
                       "DtEmissao, Obs) values (:Id, :Cliente, :Total, :Peso, "
                       ":Dt, :Obs)",
                       {{"Id", std::int64_t{42}},
                        {"Cliente", name},
                        {"Total", 2.5},
                        {"Peso", 0.125},
                        {"Dt", when},
                        {"Obs", long_text}}),
            Touched(1));
  // A parameter without a value, or with none given, is NULL; one named
  // twice takes its value in both places; ":Id" inside a literal is text.
  EXPECT_EQ(c->Execute("insert into Pedido (IdPedido, Cliente, Obs) values "
                       "(:Id, :Cliente, :Obs)",
                       {{"Id", std::int64_t{43}}, {"Cliente", std::string()}}),
            Touched(1));
  const ResultSet read = c->Open(
      "select Cliente, Total, Peso, DtEmissao, Obs from Pedido "
      "where (IdPedido = :Id or Total = :Id) and Cliente <> ':Id'",
      {{"Id", std::int64_t{42}}});
  ASSERT_EQ(read.rows.size(), 1u);
  const Row& row = read.rows[0];
  EXPECT_EQ(std::get<std::string>(row[0]), name);
  EXPECT_EQ(std::get<double>(row[1]), 2.5);
  EXPECT_EQ(std::get<double>(row[2]), 0.125);
  EXPECT_EQ(std::get<DateTime>(row[3]), when);
  EXPECT_EQ(std::get<std::string>(row[4]), long_text);
  EXPECT_EQ(db_.Scalar("select ifnull(Obs, 'null') || '|' || length(Cliente) "
                       "from Pedido where IdPedido = 43"),
            "null|0");
}

// Values without a name bind to the "?" markers in order; a "?" inside a
// literal is text.
TEST_P(ConnectionContractTest, BindsMarkersInOrder) {
  const auto c = Connect();
  c->Execute("insert into Pedido (IdPedido, Cliente) values (?, ?)",
             {{"", std::int64_t{42}}, {"", std::string("b")}});
  const ResultSet read = c->Open(
      "select Cliente from Pedido where IdPedido = ? and Cliente <> '?' "
      "and Cliente = :Cliente",
      {{"Cliente", std::string("b")}, {"", std::int64_t{42}}});
  ASSERT_EQ(read.rows.size(), 1u);
  EXPECT_EQ(std::get<std::string>(read.rows[0][0]), "b");
  EXPECT_THROW(c->Open("select Cliente from Pedido where IdPedido = ?", {}),
               DriverError);
}

// Paging values SQL Server refuses are refused alike when they are bound,
// with SQL Server's messages.
TEST_P(ConnectionContractTest, BoundPagingIsCheckedAsSqlServerDoes) {
  if (!GetParam().tsql) GTEST_SKIP() << "no T-SQL paging through this driver";
  const auto c = Connect();
  struct Case {
    std::int64_t start;
    std::int64_t count;
    const char* error;  // nullptr: the rows
    std::size_t rows;
  };
  const char* negative =
      "The offset specified in a OFFSET clause may not be negative.";
  const char* none =
      "The number of rows provided for a FETCH clause must be greater then "
      "zero.";
  const Case cases[] = {
      {0, 1, nullptr, 1},
      {0, 2147483647, nullptr, 1},
      {2147483647, 5, nullptr, 0},
      {1, 5, nullptr, 0},
      {0, 0, none, 0},
      {0, -1, none, 0},
      {-1, 5, negative, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.start) + ", " + std::to_string(k.count));
    try {
      const ResultSet r = c->Open(
          "select IdPedido from Pedido order by IdPedido\n"
          "OFFSET ? ROWS FETCH NEXT ? ROWS ONLY",
          {{"", k.start}, {"", k.count}});
      EXPECT_EQ(k.error, nullptr);
      EXPECT_EQ(r.rows.size(), k.rows);
    } catch (const DriverError& e) {
      ASSERT_NE(k.error, nullptr) << e.what();
      EXPECT_NE(std::string(e.what()).find(k.error), std::string::npos)
          << e.what();
      EXPECT_FALSE(c->IsBroken());
    }
  }
}

// Takes what Visit hands over; throws at row `fail_at` when set.
class Collector : public RowVisitor {
 public:
  void Begin(const std::vector<ResultColumn>& columns) override {
    ++begun;
    result.columns = columns;
    result.rows.clear();
  }
  void Visit(Row& row) override {
    if (fail_at && result.rows.size() == *fail_at)
      throw std::runtime_error("x");
    result.rows.push_back(row);
  }
  int begun = 0;
  ResultSet result;
  std::optional<std::size_t> fail_at;
};

TEST_P(ConnectionContractTest, VisitsTheRowsOpenReads) {
  const auto c = Connect();
  for (int i = 0; i < 300; ++i) {
    c->Execute(
        "insert into Pedido (Cliente, Total, DtEmissao) values (?, ?, "
        "'2024-03-06 10:00:00')",
        {{"", "c" + std::to_string(i)}, {"", std::int64_t{i}}});
  }
  const std::string sql =
      "select IdPedido, Cliente, Total, Peso, DtEmissao, Obs from Pedido "
      "where IdPedido >= ? order by IdPedido";
  const std::vector<Param> params = {{"", std::int64_t{41}}};
  const ResultSet opened = c->Open(sql, params);
  Collector visited;
  c->Visit(sql, params, visited);
  EXPECT_EQ(visited.begun, 1);
  ASSERT_EQ(visited.result.columns.size(), opened.columns.size());
  for (std::size_t i = 0; i < opened.columns.size(); ++i) {
    EXPECT_EQ(visited.result.columns[i].name, opened.columns[i].name);
    EXPECT_EQ(visited.result.columns[i].type, opened.columns[i].type);
  }
  ASSERT_EQ(visited.result.rows.size(), 301u);
  EXPECT_EQ(visited.result.rows, opened.rows);

  // A visit given up halfway lets go of its statement: the connection
  // writes, and the same statement runs again from its first row.
  Collector failing;
  failing.fail_at = 5;
  EXPECT_THROW(c->Visit(sql, params, failing), std::runtime_error);
  c->Begin();
  c->Execute("delete from Pedido where IdPedido > 300", {});
  c->Commit();
  Collector again;
  c->Visit(sql, params, again);
  EXPECT_EQ(again.result.rows.size(), 260u);
  EXPECT_EQ(db_.Scalar("select count(*) from Pedido"), "260");

  // Through a query: each row current in turn, the query closed after.
  Query q(*c);
  q.SQL().Add("select IdPedido, Cliente from Pedido where IdPedido < ?",
              {std::int64_t{44}});
  std::string seen;
  q.OpenEach([&] { seen += "begin;"; },
             [&] {
               seen += q.FieldByName("IdPedido").AsString() + "=" +
                       q.FieldByName("Cliente").AsString() + ";";
             });
  EXPECT_EQ(seen, "begin;41=S\u00E3o Jo\u00E3o;42=c0;43=c1;");
  EXPECT_FALSE(q.Active());
}

TEST_P(ConnectionContractTest, CountsTheRowsTouched) {
  const auto c = Connect();
  c->Execute("insert into Pedido (IdPedido, Cliente) values (42, 'a')", {});
  c->Execute("insert into Pedido (IdPedido, Cliente) values (43, 'b')", {});
  struct Case {
    const char* sql;
    std::int64_t rows;
  };
  const Case cases[] = {
      {"update Pedido set Obs = 'x' where IdPedido > 41", 2},
      {"update Pedido set Obs = 'y' where IdPedido = 99", 0},
      {"delete from Pedido where IdPedido = 43", 1},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(c->Execute(k.sql, {}), Touched(k.rows)) << k.sql;
  }
  EXPECT_EQ(db_.Scalar(kNewRows), "a|x");
}

TEST_P(ConnectionContractTest, ReturnsTheKeyOfTheInsertedRow) {
  const auto c = Connect();
  const std::string sql = "insert into Pedido (Cliente) values (:Cliente)";
  EXPECT_EQ(c->InsertReturningKey(sql, {{"Cliente", std::string("a")}}), 42);
  EXPECT_EQ(c->InsertReturningKey(sql, {{"Cliente", std::string("b")}}), 43);
  EXPECT_EQ(db_.Scalar(kNewRows), "a|null;b|null");
}

TEST_P(ConnectionContractTest, CommitsAndRollsBack) {
  const auto c = Connect();
  c->Begin();
  EXPECT_TRUE(c->InTransaction());
  c->Execute("insert into Pedido (Cliente) values ('rolled back')", {});
  c->Rollback();
  EXPECT_FALSE(c->InTransaction());
  c->Begin();
  c->Execute("insert into Pedido (Cliente) values ('committed')", {});
  c->Commit();
  EXPECT_FALSE(c->InTransaction());
  c->Execute("insert into Pedido (Cliente) values ('autocommit')", {});
  EXPECT_EQ(db_.Scalar(kNewRows), "committed|null;autocommit|null");
}

TEST_P(ConnectionContractTest, WhatIsNotCommittedIsGoneWhenTheUnitEnds) {
  ConnectionPool pool([this] { return Connect(); }, 2);
  {
    UnitOfWork unit(pool);
    unit.Begin();
    unit.Execute("insert into Pedido (Cliente) values ('lost')", {});
  }
  {
    UnitOfWork unit(pool);
    EXPECT_FALSE(unit.connection().InTransaction());
    unit.Begin();
    unit.Execute("insert into Pedido (Cliente) values ('kept')", {});
    unit.Commit();
  }
  // A connection that goes away inside a transaction leaves nothing either.
  {
    const auto c = Connect();
    c->Begin();
    c->Execute("insert into Pedido (Cliente) values ('closed')", {});
  }
  EXPECT_EQ(db_.Scalar(kNewRows), "kept|null");
}

TEST_P(ConnectionContractTest, AFailedStatementRaisesDbError) {
  const auto c = Connect();
  const char* statements[] = {"select * from NaoExiste",
                              "insert into NaoExiste values (1)",
                              "select from where"};
  for (const char* sql : statements) {
    SCOPED_TRACE(sql);
    try {
      c->Open(sql, {});
      ADD_FAILURE() << "no error";
    } catch (const DriverError& e) {
      EXPECT_FALSE(e.connection_lost()) << e.what();
    }
    EXPECT_THROW(c->Execute(sql, {}), DriverError);
    EXPECT_FALSE(c->IsBroken());
  }
  try {
    c->Open("select * from NaoExiste", {});
  } catch (const DriverError& e) {
    EXPECT_NE(std::string(e.what()).find("no such table"), std::string::npos)
        << e.what();
  }
  // A duplicate key fails inside a transaction, which still rolls back.
  c->Begin();
  c->Execute("insert into Pedido (IdPedido) values (42)", {});
  EXPECT_THROW(c->Execute("insert into Pedido (IdPedido) values (41)", {}),
               DriverError);
  c->Rollback();
  EXPECT_EQ(c->Open("select count(*) from Pedido", {}).rows.size(), 1u);
  EXPECT_EQ(db_.Scalar("select count(*) from Pedido"), "1");
  EXPECT_TRUE(c->IsAlive());
}

#ifdef NORVESSA_CONTRACT_OVER_SCRIPTED_SQL_SERVER
INSTANTIATE_TEST_SUITE_P(Drivers, ConnectionContractTest,
                         ::testing::Values(Driver{"ScriptedSqlServer",
                                                  OpenScriptedSqlServer,
                                                  false}),
                         [](const ::testing::TestParamInfo<Driver>& info) {
                           return info.param.name;
                         });
#else
INSTANTIATE_TEST_SUITE_P(Drivers, ConnectionContractTest,
                         ::testing::Values(Driver{"Sqlite", OpenSqlite},
                                           Driver{"Odbc", OpenOdbc, true,
                                                  false}),
                         [](const ::testing::TestParamInfo<Driver>& info) {
                           return info.param.name;
                         });
#endif

}  // namespace
}  // namespace norvessa
