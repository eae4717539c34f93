// A suite against SQL Server runs when APINORVESSA_MSSQL_TEST holds a
// connection string.

#include "db/odbc/odbc_connection.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "db/driver_error.h"
#include "db/query.h"
#include "json/json_text.h"
#include "serialize/dataset_export.h"

namespace norvessa {
namespace {

// Reading, binding, transactions and errors run through Debian's SQLite
// ODBC driver in connection_contract_test.cc.

TEST(OdbcConnectionTest, AMissingDriverFailsToConnect) {
  OdbcOptions missing_driver;
  missing_driver.connection_string = "DRIVER={No Such Driver};";
  try {
    OdbcConnection c(missing_driver);
    ADD_FAILURE() << "connected";
  } catch (const DriverError& e) {
    EXPECT_TRUE(e.connection_lost());
  }
}

// Runs only where a SQL Server is at hand.
class SqlServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* text = std::getenv("APINORVESSA_MSSQL_TEST");
    if (text == nullptr || *text == '\0') {
      GTEST_SKIP() << "APINORVESSA_MSSQL_TEST is not set";
    }
    options_.connection_string = text;
    options_.dialect = OdbcOptions::Dialect::kSqlServer;
  }
  OdbcOptions options_;
};

TEST_F(SqlServerTest, DatesKeysDecimalsAndText) {
  OdbcConnection c(options_);
  c.Execute(
      "create table #Pedido (IdPedido int identity(1,1) primary key, "
      "Cliente nvarchar(60), Total numeric(15,4), Dt datetime)",
      {});
  const std::int64_t key = c.InsertReturningKey(
      "insert into #Pedido (Cliente, Total, Dt) values (:C, :T, :D)",
      {{"C", std::string("S\xC3\xA3o Jo\xC3\xA3o")},
       {"T", 12.34},
       {"D", DateTime::FromParts(2024, 3, 31, 23, 59, 59, 123)}});
  EXPECT_EQ(key, 1);
  Query q(c);
  q.SQL()
      .Add("select Cliente, Total, Dt from #Pedido")
      .Add("where Dt <= '03/31/2024 23:59:59.997'");
  q.Open();
  EXPECT_EQ(ToJsonText(ToJSONArray(q)),
            R"([{"cliente":"S\u00E3o Jo\u00E3o","total":12.34,)"
            R"("dt":"2024-03-31T23:59:59.123Z"}])");
}

}  // namespace
}  // namespace norvessa
