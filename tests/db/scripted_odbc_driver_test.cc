// The scripted ODBC driver itself, driven through unixODBC with plain ODBC
// calls, and the service's OdbcConnection running against it.

#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <clocale>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/odbc/odbc_connection.h"
#include "support/scripted_odbc/scripted_odbc_fixture.h"

namespace norvessa::testing {
namespace {

struct Diag {
  std::string sqlstate;
  std::string message;
};

Diag FirstDiag(SQLSMALLINT type, SQLHANDLE handle) {
  SQLCHAR state[6] = {};
  SQLINTEGER native = 0;
  SQLCHAR text[1024] = {};
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(SQLGetDiagRec(type, handle, 1, state, &native, text,
                                   sizeof text, &length))) {
    return {};
  }
  return {reinterpret_cast<char*>(state), reinterpret_cast<char*>(text)};
}

// One connection through unixODBC and the statements made on it, all
// freed at the end.
class OdbcSession {
 public:
  explicit OdbcSession(std::string_view driver) {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION,
                  reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    std::string text = ScriptedConnectionString(driver);
    connect_rc_ =
        SQLDriverConnect(dbc_, nullptr, reinterpret_cast<SQLCHAR*>(text.data()),
                         SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    connected_ = SQL_SUCCEEDED(connect_rc_);
  }
  ~OdbcSession() {
    for (SQLHSTMT stmt : statements_) SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    if (connected_) SQLDisconnect(dbc_);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }
  OdbcSession(const OdbcSession&) = delete;
  OdbcSession& operator=(const OdbcSession&) = delete;

  SQLRETURN connect_rc() const { return connect_rc_; }
  SQLHDBC dbc() const { return dbc_; }

  SQLHSTMT NewStatement() {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt);
    statements_.push_back(stmt);
    return stmt;
  }

  static SQLRETURN Exec(SQLHSTMT stmt, std::string sql) {
    return SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(sql.data()),
                         static_cast<SQLINTEGER>(sql.size()));
  }

  SQLRETURN Disconnect() {
    const SQLRETURN rc = SQLDisconnect(dbc_);
    if (SQL_SUCCEEDED(rc)) {
      connected_ = false;
      statements_.clear();  // freed with the connection
    }
    return rc;
  }

  SQLUINTEGER ConnectionDead() const {
    SQLUINTEGER dead = 99;
    SQLGetConnectAttr(dbc_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
    return dead;
  }

 private:
  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  SQLRETURN connect_rc_ = SQL_ERROR;
  bool connected_ = false;
  std::vector<SQLHSTMT> statements_;
};

// LC_CTYPE for a test's length: Microsoft's driver converts narrow text
// with it.
class ScopedCtype {
 public:
  explicit ScopedCtype(const char* name)
      : saved_(std::setlocale(LC_CTYPE, nullptr)) {
    std::setlocale(LC_CTYPE, name);
  }
  ~ScopedCtype() { std::setlocale(LC_CTYPE, saved_.c_str()); }

 private:
  std::string saved_;
};

using ScriptedOdbcDriverTest = ScriptedOdbcTest;

TEST_F(ScriptedOdbcDriverTest, ReadsAScriptedResultSetByType) {
  server().Answer({"from Pedido",
                   {Rows({{"IdPedido", SQL_INTEGER, 10},
                          {"Cliente", SQL_WVARCHAR, 60},
                          {"Total", SQL_DECIMAL, 15, 4},
                          {"DtEmissao", SQL_TYPE_TIMESTAMP, 23, 3},
                          {"Ativo", SQL_BIT, 1},
                          {"Obs", SQL_WLONGVARCHAR}},
                         {{"7", "S\xC3\xA3o Jo\xC3\xA3o", "12.3400",
                           "2024-03-05 14:05:09.123", "1", std::nullopt}})}});
  OdbcSession odbc(kFreeTdsDriver);
  ASSERT_EQ(odbc.connect_rc(), SQL_SUCCESS);
  SQLHSTMT stmt = odbc.NewStatement();
  ASSERT_EQ(OdbcSession::Exec(stmt, "select * from PEDIDO where 1 = 1"),
            SQL_SUCCESS);

  SQLSMALLINT count = 0;
  ASSERT_EQ(SQLNumResultCols(stmt, &count), SQL_SUCCESS);
  ASSERT_EQ(count, 6);
  const struct {
    std::string name;
    SQLSMALLINT type;
    SQLULEN size;
    SQLSMALLINT digits;
  } kDescribed[] = {{"IdPedido", SQL_INTEGER, 10, 0},
                    {"Cliente", SQL_WVARCHAR, 60, 0},
                    {"Total", SQL_DECIMAL, 15, 4},
                    {"DtEmissao", SQL_TYPE_TIMESTAMP, 23, 3},
                    {"Ativo", SQL_BIT, 1, 0},
                    {"Obs", SQL_WLONGVARCHAR, 0, 0}};
  for (SQLUSMALLINT i = 1; i <= count; ++i) {
    SQLCHAR name[64] = {};
    SQLSMALLINT name_length = 0, type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    ASSERT_EQ(SQLDescribeCol(stmt, i, name, sizeof name, &name_length, &type,
                             &size, &digits, &nullable),
              SQL_SUCCESS);
    const auto& expected = kDescribed[i - 1];
    EXPECT_EQ(reinterpret_cast<char*>(name), expected.name);
    EXPECT_EQ(type, expected.type);
    EXPECT_EQ(size, expected.size);
    EXPECT_EQ(digits, expected.digits);
  }

  ASSERT_EQ(SQLFetch(stmt), SQL_SUCCESS);
  SQLLEN indicator = 0;
  SQLBIGINT id = 0;
  EXPECT_EQ(SQLGetData(stmt, 1, SQL_C_SBIGINT, &id, 0, &indicator),
            SQL_SUCCESS);
  EXPECT_EQ(id, 7);
  SQLWCHAR client[32] = {};
  EXPECT_EQ(SQLGetData(stmt, 2, SQL_C_WCHAR, client, sizeof client, &indicator),
            SQL_SUCCESS);
  EXPECT_EQ(indicator, 16);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(client)),
            u"S\u00E3o Jo\u00E3o");
  double total = 0;
  EXPECT_EQ(SQLGetData(stmt, 3, SQL_C_DOUBLE, &total, 0, &indicator),
            SQL_SUCCESS);
  EXPECT_EQ(total, 12.34);
  SQL_TIMESTAMP_STRUCT at{};
  EXPECT_EQ(
      SQLGetData(stmt, 4, SQL_C_TYPE_TIMESTAMP, &at, sizeof at, &indicator),
      SQL_SUCCESS);
  EXPECT_EQ(at.year, 2024);
  EXPECT_EQ(at.month, 3);
  EXPECT_EQ(at.day, 5);
  EXPECT_EQ(at.hour, 14);
  EXPECT_EQ(at.minute, 5);
  EXPECT_EQ(at.second, 9);
  EXPECT_EQ(at.fraction, 123000000u);
  unsigned char active = 0;
  EXPECT_EQ(SQLGetData(stmt, 5, SQL_C_BIT, &active, 0, &indicator),
            SQL_SUCCESS);
  EXPECT_EQ(active, 1);
  char note[8] = {};
  EXPECT_EQ(SQLGetData(stmt, 6, SQL_C_CHAR, note, sizeof note, &indicator),
            SQL_SUCCESS);
  EXPECT_EQ(indicator, SQL_NULL_DATA);
  // Text that is no number does not convert.
  EXPECT_EQ(SQLGetData(stmt, 2, SQL_C_SBIGINT, &id, 0, &indicator), SQL_ERROR);
  EXPECT_EQ(FirstDiag(SQL_HANDLE_STMT, stmt).sqlstate, "22018");

  EXPECT_EQ(SQLFetch(stmt), SQL_NO_DATA);
  SQLLEN rows = 0;
  EXPECT_EQ(SQLRowCount(stmt, &rows), SQL_SUCCESS);
  EXPECT_EQ(rows, -1);
  const auto execs = CallsTo(server(), {"SQLExecDirect"});
  ASSERT_EQ(execs.size(), 1u);
  EXPECT_EQ(execs[0].connection, 1);
  EXPECT_EQ(execs[0].text, "select * from PEDIDO where 1 = 1");
}

TEST_F(ScriptedOdbcDriverTest, TextInPiecesReassemblesFromTheLengthsGiven) {
  std::string text;
  for (int i = 0; i < 20; ++i) {
    text += "A\xC3\xA7\xC3\xA3o \xE2\x80\x94 \xF0\x9F\x98\x80 \xC3\xB3tima ";
  }
  // 0: the buffer is filled; otherwise at most that many bytes a call.
  for (const std::size_t piece : {0u, 5u, 1u}) {
    SCOPED_TRACE(piece);
    server().Reset();
    server().SetPieceBytes(piece);
    server().Answer(
        {"from Nota", {Rows({{"Texto", SQL_WLONGVARCHAR}}, {{text}})}});
    OdbcSession odbc(kFreeTdsDriver);
    SQLHSTMT stmt = odbc.NewStatement();
    ASSERT_EQ(OdbcSession::Exec(stmt, "select Texto from Nota"), SQL_SUCCESS);
    ASSERT_EQ(SQLFetch(stmt), SQL_SUCCESS);

    std::string got;
    bool cut_inside_a_character = false;
    while (true) {
      char buffer[16];
      SQLLEN left = 0;
      const SQLRETURN rc =
          SQLGetData(stmt, 1, SQL_C_CHAR, buffer, sizeof buffer, &left);
      if (rc == SQL_NO_DATA) break;
      ASSERT_TRUE(SQL_SUCCEEDED(rc));
      ASSERT_EQ(left, static_cast<SQLLEN>(text.size() - got.size()));
      const std::size_t n = std::strlen(buffer);
      if (piece > 0) {
        EXPECT_LE(n, piece);
      }
      if (rc == SQL_SUCCESS_WITH_INFO) {
        EXPECT_EQ(FirstDiag(SQL_HANDLE_STMT, stmt).sqlstate, "01004");
        EXPECT_LT(n, static_cast<std::size_t>(left));
      }
      got.append(buffer, n);
      if (got.size() < text.size() &&
          (static_cast<unsigned char>(text[got.size()]) & 0xC0) == 0x80) {
        cut_inside_a_character = true;
      }
    }
    EXPECT_EQ(got, text);
    EXPECT_TRUE(cut_inside_a_character);
  }
}

TEST_F(ScriptedOdbcDriverTest, AnErrorAfterACountComesOnlyFromMoreResults) {
  server().Answer({"update Pedido",
                   {Count(3), Error("23000",
                                    "Violation of PRIMARY KEY "
                                    "constraint 'PK_Pedido'")}});
  OdbcSession odbc(kFreeTdsDriver);
  SQLHSTMT stmt = odbc.NewStatement();
  ASSERT_EQ(OdbcSession::Exec(stmt, "update Pedido set Total = 1"),
            SQL_SUCCESS);
  SQLLEN rows = 0;
  EXPECT_EQ(SQLRowCount(stmt, &rows), SQL_SUCCESS);
  EXPECT_EQ(rows, 3);
  EXPECT_EQ(SQLMoreResults(stmt), SQL_ERROR);
  const Diag diag = FirstDiag(SQL_HANDLE_STMT, stmt);
  EXPECT_EQ(diag.sqlstate, "23000");
  EXPECT_NE(diag.message.find("Violation of PRIMARY KEY"), std::string::npos)
      << diag.message;
  EXPECT_EQ(SQLMoreResults(stmt), SQL_NO_DATA);
  // The connection goes on.
  SQLHSTMT next = odbc.NewStatement();
  EXPECT_EQ(OdbcSession::Exec(next, " select 1 "), SQL_SUCCESS);
  EXPECT_EQ(SQLFetch(next), SQL_SUCCESS);
}

TEST_F(ScriptedOdbcDriverTest, RestartCutsOpenConnections) {
  for (const bool known_at_once : {false, true}) {
    SCOPED_TRACE(known_at_once);
    server().Reset();
    server().SetDeadKnownAtOnce(known_at_once);
    OdbcSession odbc(kMicrosoftDriver);
    ASSERT_EQ(odbc.ConnectionDead(), SQL_CD_FALSE);
    server().Restart();
    EXPECT_EQ(odbc.ConnectionDead(),
              known_at_once ? SQL_CD_TRUE : SQL_CD_FALSE);
    SQLHSTMT stmt = odbc.NewStatement();
    for (int attempt = 0; attempt < 2; ++attempt) {
      EXPECT_EQ(OdbcSession::Exec(stmt, "select 1"), SQL_ERROR);
      const Diag diag = FirstDiag(SQL_HANDLE_STMT, stmt);
      EXPECT_EQ(diag.sqlstate, "08S01");
      EXPECT_NE(diag.message.find("Communication link failure"),
                std::string::npos)
          << diag.message;
    }
    EXPECT_EQ(odbc.ConnectionDead(), SQL_CD_TRUE);

    // A connection made after the restart works.
    OdbcSession fresh(kMicrosoftDriver);
    EXPECT_EQ(OdbcSession::Exec(fresh.NewStatement(), "select 1"), SQL_SUCCESS);
    EXPECT_EQ(server().OpenConnections(), 2);
  }
}

TEST_F(ScriptedOdbcDriverTest, AFailedDisconnectLeavesTheConnectionOpen) {
  server().FailNext("SQLDisconnect", "HY000", "The server did not answer",
                    false);
  OdbcSession odbc(kFreeTdsDriver);
  ASSERT_EQ(server().OpenConnections(), 1);
  EXPECT_EQ(odbc.Disconnect(), SQL_ERROR);
  const Diag diag = FirstDiag(SQL_HANDLE_DBC, odbc.dbc());
  EXPECT_EQ(diag.sqlstate, "HY000");
  EXPECT_NE(diag.message.find("The server did not answer"), std::string::npos)
      << diag.message;
  EXPECT_EQ(server().OpenConnections(), 1);
  EXPECT_EQ(odbc.Disconnect(), SQL_SUCCESS);
  EXPECT_EQ(server().OpenConnections(), 0);
  const auto disconnects = CallsTo(server(), {"SQLDisconnect"});
  ASSERT_EQ(disconnects.size(), 2u);
  EXPECT_EQ(disconnects[0].rc, SQL_ERROR);
  EXPECT_EQ(disconnects[1].rc, SQL_SUCCESS);
}

TEST_F(ScriptedOdbcDriverTest, PersonalitiesStoreNarrowAndWideTextApart) {
  // Microsoft's driver reads narrow text in the locale; UTF-8 here.
  ScopedCtype utf8("C.UTF-8");
  const std::string narrow = "S\xC3\xA3o \xC5\x82\xF0\x9F\x98\x80";
  std::u16string wide = u"S\u00E3o \u0142\U0001F600";
  const struct {
    std::string_view driver;
    SQLSMALLINT c_type;
    SQLSMALLINT sql_type;
    std::optional<std::string> stored;  // none: fails, taking the link along
  } kCases[] = {
      {kFreeTdsDriver, SQL_C_CHAR, SQL_VARCHAR, std::nullopt},
      {kMicrosoftDriver, SQL_C_CHAR, SQL_VARCHAR, "S\xC3\xA3o ???"},
      {kFreeTdsDriver, SQL_C_CHAR, SQL_WVARCHAR, narrow},
      {kMicrosoftDriver, SQL_C_CHAR, SQL_WVARCHAR, narrow},
      {kFreeTdsDriver, SQL_C_WCHAR, SQL_WVARCHAR, narrow},
      {kMicrosoftDriver, SQL_C_WCHAR, SQL_WVARCHAR, narrow},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.driver) + " " + std::to_string(c.c_type) + " " +
                 std::to_string(c.sql_type));
    server().Reset();
    OdbcSession odbc(c.driver);
    SQLHSTMT stmt = odbc.NewStatement();
    std::string bytes =
        c.c_type == SQL_C_CHAR
            ? narrow
            : std::string(reinterpret_cast<const char*>(wide.data()),
                          2 * wide.size());
    SQLLEN length = static_cast<SQLLEN>(bytes.size());
    ASSERT_EQ(SQLBindParameter(stmt, 1, SQL_PARAM_INPUT, c.c_type, c.sql_type,
                               40, 0, bytes.data(), length, &length),
              SQL_SUCCESS);
    const SQLRETURN rc =
        OdbcSession::Exec(stmt, "insert into Nota (Texto) values (?)");
    const auto execs = CallsTo(server(), {"SQLExecDirect"});
    ASSERT_EQ(execs.size(), 1u);
    ASSERT_EQ(execs[0].params.size(), 1u);
    const BoundParam& param = execs[0].params[0];
    EXPECT_EQ(param.c_type, c.c_type);
    EXPECT_EQ(param.sql_type, c.sql_type);
    EXPECT_EQ(param.bytes, bytes);
    if (c.stored) {
      EXPECT_EQ(rc, SQL_SUCCESS);
      EXPECT_EQ(param.value, c.stored);
      continue;
    }
    EXPECT_EQ(rc, SQL_ERROR);
    EXPECT_EQ(FirstDiag(SQL_HANDLE_STMT, stmt).sqlstate, "HY000");
    EXPECT_EQ(OdbcSession::Exec(stmt, "select 1"), SQL_ERROR);
    EXPECT_EQ(FirstDiag(SQL_HANDLE_STMT, stmt).sqlstate, "08S01");
    EXPECT_EQ(odbc.ConnectionDead(), SQL_CD_TRUE);
  }
}

TEST_F(ScriptedOdbcDriverTest, OdbcConnectionRunsAgainstIt) {
  server().Answer({"select x",
                   {Rows({{"x", SQL_INTEGER, 10}, {"Nome", SQL_WVARCHAR, 40}},
                         {{"1", "Ana"}, {"2", std::nullopt}})}});
  {
    OdbcConnection connection(OdbcOptions{ScriptedConnectionString(),
                                          OdbcOptions::Dialect::kSqlServer});
    const ResultSet result = connection.Open("select x", {});
    ASSERT_EQ(result.columns.size(), 2u);
    EXPECT_EQ(result.columns[0].name, "x");
    EXPECT_EQ(result.columns[1].name, "Nome");
    ASSERT_EQ(result.rows.size(), 2u);
    EXPECT_EQ(result.rows[0][0], FieldValue(std::int64_t{1}));
    EXPECT_EQ(result.rows[0][1], FieldValue(std::string("Ana")));
    EXPECT_EQ(result.rows[1][0], FieldValue(std::int64_t{2}));
    EXPECT_EQ(result.rows[1][1], FieldValue());
    EXPECT_EQ(server().OpenConnections(), 1);
  }
  EXPECT_EQ(server().OpenConnections(), 0);
  // What was set before the connect counts as the connection's own.
  const auto attributes = CallsTo(server(), {"SQLSetConnectAttr"});
  ASSERT_FALSE(attributes.empty());
  for (const Call& call : attributes) EXPECT_EQ(call.connection, 1);
  const auto execs = CallsTo(server(), {"SQLExecDirect"});
  ASSERT_FALSE(execs.empty());
  EXPECT_EQ(execs.back().text, "select x");
  EXPECT_EQ(execs.back().connection, 1);
}

}  // namespace
}  // namespace norvessa::testing
