// The ODBC code runs for real against Debian's SQLite ODBC driver; a suite
// against SQL Server runs when APINORVESSA_MSSQL_TEST holds a connection
// string.

#include "db/odbc/odbc_connection.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "db/db_error.h"
#include "db/query.h"
#include "json/json_text.h"
#include "serialize/dataset_export.h"
#include "support/temp_database.h"

namespace norvessa {
namespace {

OdbcOptions SqliteOdbc(const testing::TempDatabase& db) {
  OdbcOptions options;
  options.connection_string = "DRIVER={SQLite3};Database=" + db.path() + ";";
  options.dialect = OdbcOptions::Dialect::kSqlite;
  return options;
}

constexpr const char* kSchema = R"(
  CREATE TABLE Pedido (IdPedido INTEGER PRIMARY KEY, Cliente VARCHAR(60),
                       Total NUMERIC(15,4), DtEmissao DATETIME, Obs TEXT);
  INSERT INTO Pedido VALUES (1, 'S' || char(227) || 'o Jo' || char(227) || 'o',
                             12.34, '2024-03-05 14:05:09', NULL);
)";

TEST(OdbcConnectionTest, FetchesTypedRows) {
  testing::TempDatabase db(kSchema);
  OdbcConnection c(SqliteOdbc(db));
  Query q(c);
  q.SQL().Add("select IdPedido, Cliente, Total, DtEmissao, Obs from Pedido");
  q.Open();
  EXPECT_EQ(q.FieldByName("IdPedido").DataType(), FieldType::kInteger);
  EXPECT_EQ(q.FieldByName("Cliente").DataType(), FieldType::kString);
  EXPECT_EQ(q.FieldByName("Cliente").Size(), 60);
  EXPECT_EQ(q.FieldByName("DtEmissao").DataType(), FieldType::kTimeStamp);
  EXPECT_EQ(ToJsonText(ToJSONArray(q)),
            R"([{"idpedido":1,"cliente":"S\u00E3o Jo\u00E3o","total":12.34,)"
            R"("dtemissao":"2024-03-05T14:05:09.000Z","obs":null}])");
}

TEST(OdbcConnectionTest, BindsEveryParameterTypeAndReadsLongText) {
  testing::TempDatabase db(kSchema);
  OdbcConnection c(SqliteOdbc(db));
  const std::string long_text(20000, 'x');
  Query insert(c);
  insert.SQL().Add(
      "insert into Pedido (Cliente, Total, DtEmissao, Obs) values "
      "(:Cliente, :Total, :Dt, :Obs)");
  insert.ParamByName("Cliente").SetAsString("D'\xC3\x81vila");
  insert.ParamByName("Total").SetAsFloat(2.5);
  insert.ParamByName("Dt").SetAsDateTime(
      DateTime::FromParts(2024, 3, 5, 1, 2, 3, 456));
  insert.ParamByName("Obs").SetAsString(long_text);
  EXPECT_EQ(insert.ExecInsert(), 2);

  Query read(c);
  read.SQL()
      .Add("select Cliente, Total, DtEmissao, Obs from Pedido")
      .Add("where IdPedido = :Id and Cliente <> ':Id'");
  read.ParamByName("Id").SetAsInteger(2);
  read.Open();
  ASSERT_FALSE(read.IsEmpty());
  EXPECT_EQ(read.FieldByName("Cliente").AsString(), "D'\xC3\x81vila");
  EXPECT_EQ(read.FieldByName("Total").AsFloat(), 2.5);
  EXPECT_EQ(read.FieldByName("DtEmissao").AsDateTime(),
            DateTime::FromParts(2024, 3, 5, 1, 2, 3, 456));
  EXPECT_EQ(read.FieldByName("Obs").AsString(), long_text);

  Query nulls(c);
  nulls.SQL().Add("update Pedido set Obs = :Obs where IdPedido = :Id");
  nulls.ParamByName("Id").SetAsInteger(2);
  EXPECT_EQ(nulls.ExecSQL(), 1);
  EXPECT_EQ(db.Scalar("select ifnull(Obs, 'null') from Pedido where "
                      "IdPedido = 2"),
            "null");
}

TEST(OdbcConnectionTest, TransactionsAndErrors) {
  testing::TempDatabase db(kSchema);
  OdbcConnection c(SqliteOdbc(db));
  c.Begin();
  c.Execute("insert into Pedido (Cliente) values ('a')", {});
  c.Rollback();
  c.Begin();
  c.Execute("insert into Pedido (Cliente) values ('b')", {});
  c.Commit();
  EXPECT_FALSE(c.InTransaction());
  EXPECT_EQ(db.Scalar("select group_concat(Cliente) from Pedido where "
                      "IdPedido > 1"),
            "b");
  try {
    c.Open("select * from NaoExiste", {});
    ADD_FAILURE();
  } catch (const DbError& e) {
    EXPECT_NE(std::string(e.what()).find("no such table"), std::string::npos)
        << e.what();
  }
  EXPECT_FALSE(c.IsBroken());

  OdbcOptions missing_driver;
  missing_driver.connection_string = "DRIVER={No Such Driver};";
  EXPECT_THROW(OdbcConnection{missing_driver}, DbError);
}

TEST(OdbcConnectionTest, SqlServerConnectionStrings) {
  struct Case {
    const char* driver;
    const char* host;
    const char* password;
    const char* extra;
    const char* text;
  };
  const Case cases[] = {
      {"", "erp", "s3cr;t", "",
       "DRIVER={FreeTDS};SERVER=erp;DATABASE=ERP;UID=api;PWD={s3cr;t};"
       "ClientCharset=UTF-8;TDS_Version=7.4;APP=APINorvessa;Timeout=30;"},
      {"FreeTDS", "erp,1533", "", "",
       "DRIVER={FreeTDS};SERVER=erp;PORT=1533;DATABASE=ERP;UID=api;"
       "ClientCharset=UTF-8;TDS_Version=7.4;APP=APINorvessa;Timeout=30;"},
      {"FreeTDS", "erp\\SQLEXPRESS", "p}w", "",
       "DRIVER={FreeTDS};SERVER=erp\\SQLEXPRESS;DATABASE=ERP;UID=api;"
       "PWD={p}}w};ClientCharset=UTF-8;TDS_Version=7.4;APP=APINorvessa;"
       "Timeout=30;"},
      {"ODBC Driver 18 for SQL Server", "erp,1533", "pw", "",
       "DRIVER={ODBC Driver 18 for SQL Server};SERVER=erp,1533;DATABASE=ERP;"
       "UID=api;PWD=pw;TrustServerCertificate=yes;APP=APINorvessa;"},
      // Keys the service sets take the new value in place, whatever their
      // case; others are appended, braced values kept whole.
      {"ODBC Driver 18 for SQL Server", "erp", "pw",
       " trustservercertificate = no ; Encrypt=yes;Failover_Partner={b;c}}};",
       "DRIVER={ODBC Driver 18 for SQL Server};SERVER=erp;DATABASE=ERP;"
       "UID=api;PWD=pw;TrustServerCertificate=no;APP=APINorvessa;"
       "Encrypt=yes;Failover_Partner={b;c}}};"},
      {"FreeTDS", "erp", "pw", "tds_version=7.3;timeout=120;;APP=ERP API",
       "DRIVER={FreeTDS};SERVER=erp;DATABASE=ERP;UID=api;PWD=pw;"
       "ClientCharset=UTF-8;TDS_Version=7.3;APP=ERP API;Timeout=120;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extra);
    EXPECT_EQ(SqlServerConnectionString(c.driver, c.host, "ERP", "api",
                                        c.password, c.extra),
              c.text);
  }
  for (const char* bad : {"Encrypt", "Encrypt=yes;oops", "=yes"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(
        SqlServerConnectionString("FreeTDS", "erp", "ERP", "api", "pw", bad),
        DbError);
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
