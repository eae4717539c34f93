// The scripted ODBC driver itself, driven through unixODBC with plain ODBC
// calls, and the service's OdbcConnection running against it.

#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "db/driver_error.h"
#include "db/odbc/odbc_connection.h"
#include "support/scripted_odbc/scripted_odbc_fixture.h"
#include "support/temp_database.h"

namespace norvessa::testing {
namespace {

using std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Diag {
  std::string sqlstate;
  std::string message;
  SQLINTEGER native = 0;
  bool operator==(const Diag&) const = default;
};

void PrintTo(const Diag& d, std::ostream* out) {
  *out << d.sqlstate << " " << d.message << " (" << d.native << ")";
}

// Every diagnostic record of the handle's last call.
std::vector<Diag> Diags(SQLSMALLINT type, SQLHANDLE handle) {
  std::vector<Diag> diags;
  for (SQLSMALLINT record = 1;; ++record) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR text[1024] = {};
    SQLSMALLINT length = 0;
    if (!SQL_SUCCEEDED(SQLGetDiagRec(type, handle, record, state, &native, text,
                                     sizeof text, &length))) {
      return diags;
    }
    diags.push_back({reinterpret_cast<char*>(state),
                     reinterpret_cast<char*>(text), native});
  }
}

Diag FirstDiag(SQLSMALLINT type, SQLHANDLE handle) {
  const std::vector<Diag> diags = Diags(type, handle);
  return diags.empty() ? Diag{} : diags.front();
}

// Waits for `condition`, at most 20 s; false if it never came.
bool Eventually(const std::function<bool()>& condition) {
  const auto deadline = steady_clock::now() + 20s;
  while (!condition()) {
    if (steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// SQLRowCount's answer; -2 when the call fails.
SQLLEN RowCountOf(SQLHSTMT stmt) {
  SQLLEN rows = -2;
  return SQL_SUCCEEDED(SQLRowCount(stmt, &rows)) ? rows : -2;
}

void SetQueryTimeout(SQLHSTMT stmt, SQLULEN seconds) {
  SQLSetStmtAttr(stmt, SQL_ATTR_QUERY_TIMEOUT,
                 reinterpret_cast<SQLPOINTER>(seconds), 0);
}

SQLRETURN SetAutocommit(SQLHDBC dbc, SQLULEN on) {
  return SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT,
                           reinterpret_cast<SQLPOINTER>(on), 0);
}

using Attributes = std::initializer_list<std::pair<SQLINTEGER, SQLULEN>>;

// One connection through unixODBC and the statements made on it, all
// freed at the end.
class OdbcSession {
 public:
  // `attributes` are set before the connect, as the service sets its
  // timeouts.
  explicit OdbcSession(std::string_view driver, Attributes attributes = {}) {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION,
                  reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    for (const auto& [attribute, value] : attributes) {
      SQLSetConnectAttr(dbc_, attribute, reinterpret_cast<SQLPOINTER>(value),
                        0);
    }
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

  static SQLRETURN Prepare(SQLHSTMT stmt, std::string sql) {
    return SQLPrepare(stmt, reinterpret_cast<SQLCHAR*>(sql.data()),
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

  std::string Info(SQLUSMALLINT info) const {
    char text[256] = {};
    SQLSMALLINT length = 0;
    SQLGetInfo(dbc_, info, text, sizeof text, &length);
    return text;
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

// The SQL Server prefixes of each personality.
constexpr std::string_view kFreeTdsPrefix = "[FreeTDS][SQL Server]";
constexpr std::string_view kMicrosoftPrefix =
    "[Microsoft][ODBC Driver 18 for SQL Server]";

std::string Worded(std::string_view prefix, std::string_view message) {
  return std::string(prefix) + std::string(message);
}

TEST_F(ScriptedOdbcDriverTest, AHangingStatementWaitsWithoutHoldingTheServer) {
  struct Case {
    const char* name;
    std::string_view driver;
    SQLULEN timeout;
    // Once the call waits: what ends it; nothing when its timeout does.
    std::function<void(ScriptedServer&)> meanwhile;
    std::string sqlstate;
    std::string message;
    bool usable;  // the connection afterwards
  };
  const Case cases[] = {
      {"its timeout", kFreeTdsDriver, 1, nullptr, "HYT00",
       Worded(kFreeTdsPrefix, "Query timeout expired"), true},
      {"its timeout, Microsoft's words", kMicrosoftDriver, 1, nullptr, "HYT00",
       Worded(kMicrosoftPrefix, "Query timeout expired"), true},
      {"no timeout, until Reset()", kFreeTdsDriver, 0,
       [](ScriptedServer& s) { s.Reset(); }, "HYT00",
       Worded(kFreeTdsPrefix, "Query timeout expired"), true},
      {"a restart meanwhile", kFreeTdsDriver, 30,
       [](ScriptedServer& s) { s.Restart(); }, "08S01",
       Worded(kFreeTdsPrefix, "Communication link failure"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server().Reset();
    server().Answer({"waitfor", {Hang()}});
    OdbcSession odbc(c.driver);
    SQLHSTMT stmt = odbc.NewStatement();
    SetQueryTimeout(stmt, c.timeout);
    const auto started = steady_clock::now();
    auto hanging = std::async(std::launch::async, [&] {
      return OdbcSession::Exec(stmt, "waitfor delay '01:00:00'");
    });
    if (c.meanwhile) {
      struct Release {  // a failed check must not leave the call waiting
        ~Release() { ScriptedOdbc().Reset(); }
      } release;
      ASSERT_TRUE(Eventually([&] { return server().Blocked() == 1; }));
      // The server goes on for everyone else meanwhile.
      OdbcSession other(kFreeTdsDriver);
      EXPECT_EQ(OdbcSession::Exec(other.NewStatement(), "select 1"),
                SQL_SUCCESS);
      c.meanwhile(server());
    }
    EXPECT_EQ(hanging.get(), SQL_ERROR);
    EXPECT_LT(steady_clock::now() - started, 20s);
    const Diag diag = FirstDiag(SQL_HANDLE_STMT, stmt);
    EXPECT_EQ(diag.sqlstate, c.sqlstate);
    EXPECT_EQ(diag.message, c.message);
    EXPECT_EQ(server().Blocked(), 0);
    EXPECT_EQ(OdbcSession::Exec(stmt, "select 1"),
              c.usable ? SQL_SUCCESS : SQL_ERROR);
  }
}

TEST_F(ScriptedOdbcDriverTest, AHalfOpenLinkTimesOutAndIsDeadFromThenOn) {
  struct Case {
    const char* name;
    std::string_view driver;
    std::function<SQLRETURN(OdbcSession&, SQLHSTMT)> call;
    bool on_statement;  // the diagnostics are the statement's
    std::string_view prefix;
  };
  const Case cases[] = {
      {"SQLExecDirect", kFreeTdsDriver,
       [](OdbcSession&, SQLHSTMT stmt) {
         return OdbcSession::Exec(stmt, "select 1");
       },
       true, kFreeTdsPrefix},
      {"SQLEndTran", kMicrosoftDriver,
       [](OdbcSession& odbc, SQLHSTMT) {
         return SQLEndTran(SQL_HANDLE_DBC, odbc.dbc(), SQL_COMMIT);
       },
       false, kMicrosoftPrefix},
      {"SQLSetConnectAttr of autocommit", kFreeTdsDriver,
       [](OdbcSession& odbc, SQLHSTMT) {
         return SetAutocommit(odbc.dbc(), SQL_AUTOCOMMIT_OFF);
       },
       false, kFreeTdsPrefix},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server().Reset();
    OdbcSession odbc(c.driver, {{SQL_ATTR_CONNECTION_TIMEOUT, 1}});
    SQLHSTMT stmt = odbc.NewStatement();
    SetQueryTimeout(stmt, 1);
    server().SetHalfOpen(true);
    // Nothing tells a silent network from a quiet server.
    EXPECT_EQ(odbc.ConnectionDead(), SQL_CD_FALSE);
    const auto started = steady_clock::now();
    EXPECT_EQ(c.call(odbc, stmt), SQL_ERROR);
    EXPECT_LT(steady_clock::now() - started, 20s);
    const Diag diag = c.on_statement ? FirstDiag(SQL_HANDLE_STMT, stmt)
                                     : FirstDiag(SQL_HANDLE_DBC, odbc.dbc());
    EXPECT_EQ(diag.sqlstate, "HYT00");
    EXPECT_EQ(diag.message, Worded(c.prefix, "Query timeout expired"));
    EXPECT_EQ(odbc.ConnectionDead(), SQL_CD_TRUE);
    // Dead for good, also once the network is back.
    server().SetHalfOpen(false);
    EXPECT_EQ(OdbcSession::Exec(stmt, "select 1"), SQL_ERROR);
    EXPECT_EQ(FirstDiag(SQL_HANDLE_STMT, stmt).sqlstate, "08S01");
    EXPECT_EQ(server().Blocked(), 0);
  }
}

TEST_F(ScriptedOdbcDriverTest, ASilentNetworkHoldsConnectsToTheirLoginTimeout) {
  server().SetHalfOpen(true);
  const auto started = steady_clock::now();
  OdbcSession odbc(kMicrosoftDriver, {{SQL_ATTR_LOGIN_TIMEOUT, 1}});
  EXPECT_EQ(odbc.connect_rc(), SQL_ERROR);
  EXPECT_LT(steady_clock::now() - started, 20s);
  const Diag diag = FirstDiag(SQL_HANDLE_DBC, odbc.dbc());
  EXPECT_EQ(diag.sqlstate, "HYT00");
  EXPECT_EQ(diag.message, Worded(kMicrosoftPrefix, "Login timeout expired"));
  EXPECT_EQ(server().OpenConnections(), 0);
}

TEST_F(ScriptedOdbcDriverTest, WhenTheNetworkIsBackWaitingCallsEndAtOnce) {
  OdbcSession before(kFreeTdsDriver);  // no timeouts: waits for ever
  SQLHSTMT stmt = before.NewStatement();
  server().SetHalfOpen(true);
  struct Release {  // a failed check must not leave the calls waiting
    ~Release() { ScriptedOdbc().SetHalfOpen(false); }
  } release;
  auto statement = std::async(
      std::launch::async, [&] { return OdbcSession::Exec(stmt, "select 1"); });
  auto connect = std::async(std::launch::async, [] {
    OdbcSession odbc(kFreeTdsDriver);
    return odbc.connect_rc() == SQL_SUCCESS &&
           OdbcSession::Exec(odbc.NewStatement(), "select 1") == SQL_SUCCESS;
  });
  ASSERT_TRUE(Eventually([&] { return server().Blocked() == 2; }));
  server().SetHalfOpen(false);
  EXPECT_TRUE(connect.get());
  EXPECT_EQ(statement.get(), SQL_ERROR);
  EXPECT_EQ(FirstDiag(SQL_HANDLE_STMT, stmt).sqlstate, "08S01");
  EXPECT_EQ(before.ConnectionDead(), SQL_CD_TRUE);
  EXPECT_EQ(server().Blocked(), 0);
}

TEST_F(ScriptedOdbcDriverTest, NocountDropsTheCountsOfItsConnection) {
  server().Answer({"update", {Count(3)}});
  server().Answer({"delete", {Count(0)}});
  server().Answer(
      {"exec Recalcula",
       {Count(2), Rows({{"N", SQL_INTEGER, 10}}, {{"1"}}), Count(1)}});
  OdbcSession odbc(kFreeTdsDriver);
  OdbcSession other(kFreeTdsDriver);
  const struct {
    OdbcSession* session;
    std::string sql;
    SQLRETURN rc;
    SQLLEN rows;          // SQLRowCount
    SQLSMALLINT columns;  // SQLNumResultCols
    SQLRETURN more;       // SQLMoreResults
  } kSteps[] = {
      {&odbc, "update Pedido set X = 1", SQL_SUCCESS, 3, 0, SQL_NO_DATA},
      {&odbc, "delete from Pedido where 1 = 0", SQL_NO_DATA, 0, 0, SQL_NO_DATA},
      {&odbc, "exec Recalcula", SQL_SUCCESS, 2, 0, SQL_SUCCESS},
      {&odbc, "SET DATEFORMAT mdy; set  nocount\n On; SET XACT_ABORT ON",
       SQL_SUCCESS, -1, 0, SQL_NO_DATA},
      {&odbc, "update Pedido set X = 1", SQL_SUCCESS, -1, 0, SQL_NO_DATA},
      {&odbc, "delete from Pedido where 1 = 0", SQL_SUCCESS, -1, 0,
       SQL_NO_DATA},
      {&odbc, "exec Recalcula", SQL_SUCCESS, -1, 1, SQL_NO_DATA},
      {&other, "update Pedido set X = 1", SQL_SUCCESS, 3, 0, SQL_NO_DATA},
      {&odbc, "SET NOCOUNT OFF; update Pedido set X = 1", SQL_SUCCESS, 3, 0,
       SQL_NO_DATA},
  };
  for (const auto& step : kSteps) {
    SCOPED_TRACE(step.sql);
    SQLHSTMT stmt = step.session->NewStatement();
    EXPECT_EQ(OdbcSession::Exec(stmt, step.sql), step.rc);
    EXPECT_EQ(RowCountOf(stmt), step.rows);
    SQLSMALLINT columns = 99;
    EXPECT_EQ(SQLNumResultCols(stmt, &columns), SQL_SUCCESS);
    EXPECT_EQ(columns, step.columns);
    EXPECT_EQ(SQLMoreResults(stmt), step.more);
  }
}

TEST_F(ScriptedOdbcDriverTest, ADeadlockVictimIsToldAndItsRollbackSucceeds) {
  const std::string text =
      "Transaction (Process ID 57) was deadlocked on lock resources with "
      "another process and has been chosen as the deadlock victim. Rerun the "
      "transaction.";
  const struct {
    std::string_view driver;
    std::string message;
  } kCases[] = {
      {kFreeTdsDriver, Worded(kFreeTdsPrefix, text)},
      {kMicrosoftDriver,
       Worded(kMicrosoftPrefix, Worded("[SQL Server]", text))},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.driver);
    server().Reset();
    server().Answer({"update Estoque", {Deadlock()}});
    OdbcSession odbc(c.driver);
    ASSERT_EQ(SetAutocommit(odbc.dbc(), SQL_AUTOCOMMIT_OFF), SQL_SUCCESS);
    SQLHSTMT stmt = odbc.NewStatement();
    EXPECT_EQ(OdbcSession::Exec(stmt, "update Estoque set Qtd = Qtd - 1"),
              SQL_ERROR);
    EXPECT_EQ(Diags(SQL_HANDLE_STMT, stmt),
              (std::vector<Diag>{{"40001", c.message, 1205}}));
    EXPECT_EQ(SQLEndTran(SQL_HANDLE_DBC, odbc.dbc(), SQL_ROLLBACK),
              SQL_SUCCESS);
    EXPECT_EQ(odbc.ConnectionDead(), SQL_CD_FALSE);
  }
}

TEST_F(ScriptedOdbcDriverTest, AnErrorCarriesEveryRecordItLists) {
  ScriptResult error = Error("HY000", "The batch was aborted", true);
  error.more = {{"08S01", "Communication link failure"}};
  server().Answer({"insert into Pedido", {error}});
  {
    OdbcSession odbc(kFreeTdsDriver);
    SQLHSTMT stmt = odbc.NewStatement();
    EXPECT_EQ(OdbcSession::Exec(stmt, "insert into Pedido default values"),
              SQL_ERROR);
    EXPECT_EQ(
        Diags(SQL_HANDLE_STMT, stmt),
        (std::vector<Diag>{
            {"HY000", Worded(kFreeTdsPrefix, "The batch was aborted")},
            {"08S01", Worded(kFreeTdsPrefix, "Communication link failure")}}));
    SQLINTEGER number = 0;
    EXPECT_EQ(SQLGetDiagField(SQL_HANDLE_STMT, stmt, 0, SQL_DIAG_NUMBER,
                              &number, 0, nullptr),
              SQL_SUCCESS);
    EXPECT_EQ(number, 2);
    char state[6] = {};
    SQLSMALLINT length = 0;
    EXPECT_EQ(SQLGetDiagField(SQL_HANDLE_STMT, stmt, 2, SQL_DIAG_SQLSTATE,
                              state, sizeof state, &length),
              SQL_SUCCESS);
    EXPECT_STREQ(state, "08S01");
    EXPECT_EQ(odbc.ConnectionDead(), SQL_CD_TRUE);
  }
  // The service's connection reads them all and gives up the link.
  OdbcConnection connection(OdbcOptions{ScriptedConnectionString(),
                                        OdbcOptions::Dialect::kSqlServer});
  try {
    connection.Execute("insert into Pedido default values", {});
    ADD_FAILURE() << "no error";
  } catch (const DriverError& e) {
    for (const char* text :
         {"The batch was aborted", "Communication link failure"}) {
      EXPECT_NE(std::string(e.what()).find(text), std::string::npos)
          << e.what();
    }
    EXPECT_TRUE(e.connection_lost());
  }
  EXPECT_TRUE(connection.IsBroken());
}

TEST_F(ScriptedOdbcDriverTest, TheDriverNamesItselfAfterItsPersonality) {
  const struct {
    std::string driver;
    ScriptPersonality personality;
    bool freetds;
  } kCases[] = {
      {std::string(kFreeTdsDriver), ScriptPersonality::kByName, true},
      {std::string(kMicrosoftDriver), ScriptPersonality::kByName, false},
      {std::string(kTdsDriver), ScriptPersonality::kByName, false},
      {std::string(kTdsDriver), ScriptPersonality::kFreeTds, true},
      {std::string(kSqlServerDriver), ScriptPersonality::kMicrosoft, false},
      {std::string(kFreeTdsDriver), ScriptPersonality::kMicrosoft, false},
      {ScriptedDriverPath(), ScriptPersonality::kFreeTds, true},
      // unixODBC finds its driver sections in any case, and so does the
      // name rule.
      {"freetds", ScriptPersonality::kByName, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.driver);
    server().Reset();
    server().SetPersonality(c.personality);
    server().Answer({"Pedido", {Error("50000", "Estoque insuficiente")}});
    OdbcSession odbc(c.driver);
    ASSERT_EQ(odbc.connect_rc(), SQL_SUCCESS);
    EXPECT_EQ(odbc.Info(SQL_DRIVER_NAME),
              c.freetds ? "libtdsodbc.so" : "libmsodbcsql-18.3.so.3.1");
    EXPECT_EQ(odbc.Info(SQL_DRIVER_VER),
              c.freetds ? "01.03.0017" : "18.03.0003");
    EXPECT_EQ(odbc.Info(SQL_DBMS_NAME), "Microsoft SQL Server");
    SQLHSTMT stmt = odbc.NewStatement();
    EXPECT_EQ(OdbcSession::Exec(stmt, "update Pedido set X = 1"), SQL_ERROR);
    EXPECT_EQ(FirstDiag(SQL_HANDLE_STMT, stmt).message,
              c.freetds ? Worded(kFreeTdsPrefix, "Estoque insuficiente")
                        : Worded(kMicrosoftPrefix,
                                 "[SQL Server]Estoque insuficiente"));
    // A connection keeps the personality it was made with.
    server().SetPersonality(c.freetds ? ScriptPersonality::kMicrosoft
                                      : ScriptPersonality::kFreeTds);
    EXPECT_EQ(odbc.Info(SQL_DRIVER_VER),
              c.freetds ? "01.03.0017" : "18.03.0003");
  }
}

// The control file as a script writes it, replaced whole.
class ControlFile {
 public:
  ControlFile()
      : path_((std::filesystem::temp_directory_path() /
               ("norvessa-scripted-control-" + std::to_string(::getpid())))
                  .string()) {}
  ~ControlFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  ControlFile(const ControlFile&) = delete;
  ControlFile& operator=(const ControlFile&) = delete;

  const std::string& path() const { return path_; }
  void Say(std::string_view word) const {
    const std::string next = path_ + ".next";
    std::ofstream(next) << word << "\n";
    std::filesystem::rename(next, path_);
  }

 private:
  std::string path_;
};

// The server steered by a control file, which says "up" at first; the
// file is let go at the end, so that no call is left waiting on it.
class ScriptedOdbcControlTest : public ScriptedOdbcTest {
 protected:
  void SetUp() override {
    ScriptedOdbcTest::SetUp();
    control_.Say("up");
    server().SetControlFile(control_.path());
  }
  void TearDown() override { server().Reset(); }

  const ControlFile& control() const { return control_; }

 private:
  ControlFile control_;
};

TEST_F(ScriptedOdbcControlTest, TheControlFileStepsServerAndNetwork) {
  const struct {
    const char* word;
    SQLRETURN connect_rc;
    const char* connect_state;  // of a connect that fails
    const char* open_state;     // of a connection's next statement failing
    SQLUINTEGER open_dead;      // that connection afterwards
  } kSteps[] = {
      {"down", SQL_ERROR, "08001", "08S01", SQL_CD_TRUE},
      {"silent", SQL_ERROR, "HYT00", "HYT00", SQL_CD_TRUE},
      {"up", SQL_SUCCESS, "", "", SQL_CD_FALSE},
      // Neither an empty file nor another word changes anything.
      {"", SQL_SUCCESS, "", "", SQL_CD_FALSE},
      {"sideways", SQL_SUCCESS, "", "", SQL_CD_FALSE},
  };
  for (const auto& step : kSteps) {
    SCOPED_TRACE(step.word);
    // "up" undoes whatever the step before did.
    control().Say("up");
    OdbcSession open(kFreeTdsDriver);
    ASSERT_EQ(open.connect_rc(), SQL_SUCCESS);
    SQLHSTMT stmt = open.NewStatement();
    SetQueryTimeout(stmt, 1);
    control().Say(step.word);
    OdbcSession fresh(kFreeTdsDriver, {{SQL_ATTR_LOGIN_TIMEOUT, 1}});
    EXPECT_EQ(fresh.connect_rc(), step.connect_rc);
    EXPECT_EQ(FirstDiag(SQL_HANDLE_DBC, fresh.dbc()).sqlstate,
              step.connect_state);
    EXPECT_EQ(OdbcSession::Exec(stmt, "select 1"),
              *step.open_state != '\0' ? SQL_ERROR : SQL_SUCCESS);
    EXPECT_EQ(FirstDiag(SQL_HANDLE_STMT, stmt).sqlstate, step.open_state);
    EXPECT_EQ(open.ConnectionDead(), step.open_dead);
  }
}

TEST_F(ScriptedOdbcControlTest, UnderTheWordHangConnectsWaitForTheNextWord) {
  OdbcSession open(kFreeTdsDriver);
  SQLHSTMT stmt = open.NewStatement();
  // The next word decides: "up" lets the connect through, "silent" keeps
  // it to its login timeout.
  for (const char* next : {"up", "silent"}) {
    SCOPED_TRACE(next);
    control().Say("hang");
    auto connect = std::async(std::launch::async, [] {
      OdbcSession odbc(kFreeTdsDriver, {{SQL_ATTR_LOGIN_TIMEOUT, 1}});
      return FirstDiag(SQL_HANDLE_DBC, odbc.dbc()).sqlstate;
    });
    ASSERT_TRUE(Eventually([&] { return server().Blocked() == 1; }));
    // Past its login timeout, the connect still waits.
    EXPECT_EQ(connect.wait_for(1500ms), std::future_status::timeout);
    control().Say(next);
    EXPECT_EQ(connect.get(), std::string(next) == "up" ? "" : "HYT00");
  }
  // The connection open when the server began to hang was cut.
  EXPECT_EQ(OdbcSession::Exec(stmt, "select 1"), SQL_ERROR);
  EXPECT_EQ(FirstDiag(SQL_HANDLE_STMT, stmt).sqlstate, "08S01");
}

TEST_F(ScriptedOdbcControlTest, AWaitingCallNoticesTheControlFile) {
  OdbcSession odbc(kFreeTdsDriver);  // no timeouts
  SQLHSTMT stmt = odbc.NewStatement();
  control().Say("silent");
  auto statement = std::async(
      std::launch::async, [&] { return OdbcSession::Exec(stmt, "select 1"); });
  ASSERT_TRUE(Eventually([&] { return server().Blocked() == 1; }));
  control().Say("up");
  EXPECT_EQ(statement.get(), SQL_ERROR);
  EXPECT_EQ(FirstDiag(SQL_HANDLE_STMT, stmt).sqlstate, "08S01");
  OdbcSession fresh(kFreeTdsDriver);
  EXPECT_EQ(OdbcSession::Exec(fresh.NewStatement(), "select 1"), SQL_SUCCESS);
}

// Execute's count, whether the connection gives a number or maybe one.
[[maybe_unused]] long long AsCount(std::int64_t n) { return n; }
[[maybe_unused]] long long AsCount(const std::optional<std::int64_t>& n) {
  return n.value_or(-1);
}

TEST_F(ScriptedOdbcDriverTest, StatementsNoAnswerMatchesRunOnTheBackend) {
  TempDatabase db(
      "create table Cliente (Id integer primary key, Nome varchar(60) not "
      "null unique, Limite decimal(15,2), Desde datetime);"
      "insert into Cliente values (1, 'Ana', 1500.5, '2024-03-05 14:05:09');"
      "insert into Cliente values (2, 'Bruno', null, null);");
  server().SetBackend(db.path());
  server().Answer({"delete from Cliente", {Deadlock()}});
  struct Case {
    const char* name;
    std::function<void(Connection&)> run;
    const char* sqlstate;  // of the error it raises; nullptr: none
  };
  const Case cases[] = {
      {"a select with parameters",
       [](Connection& c) {
         const ResultSet r = c.Open(
             "select Id, Nome, Limite, Desde from Cliente where Id = "
             ":Id and Desde >= :Desde",
             {{"Id", std::int64_t{1}},
              {"Desde", DateTime::FromParts(2024, 1, 1)}});
         ASSERT_EQ(r.columns.size(), 4u);
         EXPECT_EQ(r.columns[0].type, FieldType::kInteger);
         EXPECT_EQ(r.columns[1].type, FieldType::kString);
         EXPECT_EQ(r.columns[1].size, 60);
         EXPECT_EQ(r.columns[2].type, FieldType::kFMTBcd);
         EXPECT_EQ(r.columns[3].type, FieldType::kTimeStamp);
         ASSERT_EQ(r.rows.size(), 1u);
         EXPECT_EQ(r.rows[0][0], FieldValue(std::int64_t{1}));
         EXPECT_EQ(r.rows[0][1], FieldValue(std::string("Ana")));
         EXPECT_EQ(r.rows[0][2], FieldValue(1500.5));
         EXPECT_EQ(r.rows[0][3],
                   FieldValue(DateTime::FromParts(2024, 3, 5, 14, 5, 9)));
       },
       nullptr},
      {"an insert that returns its key",
       [](Connection& c) {
         EXPECT_EQ(
             c.InsertReturningKey("insert into Cliente (Nome) values (:Nome)",
                                  {{"Nome", std::string("Carla")}}),
             3);
       },
       nullptr},
      {"a rollback",
       [&db](Connection& c) {
         c.Begin();
         c.Execute("insert into Cliente (Nome) values ('Davi')", {});
         c.Rollback();
         EXPECT_EQ(db.Scalar("select count(*) from Cliente where Nome = "
                             "'Davi'"),
                   "0");
       },
       nullptr},
      {"a constraint",
       [](Connection& c) {
         c.Execute("insert into Cliente (Nome) values ('Ana')", {});
       },
       "23000"},
      {"a deadlock in a transaction",
       [](Connection& c) {
         c.Begin();
         c.Execute("insert into Cliente (Nome) values ('Eva')", {});
         c.Execute("delete from Cliente where Nome = 'Bruno'", {});
       },
       "40001"},
      {"a count the connection's NOCOUNT keeps",
       [](Connection& c) {
         EXPECT_EQ(AsCount(c.Execute("update Cliente set Limite = Limite", {})),
                   -1);
       },
       nullptr},
  };
  OdbcConnection connection(OdbcOptions{ScriptedConnectionString(),
                                        OdbcOptions::Dialect::kSqlServer});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.run(connection);
      EXPECT_EQ(c.sqlstate, nullptr) << "no error";
    } catch (const DriverError& e) {
      ASSERT_NE(c.sqlstate, nullptr) << e.what();
      EXPECT_EQ(e.sqlstate(), c.sqlstate) << e.what();
      EXPECT_FALSE(connection.IsBroken());
    }
    if (connection.InTransaction()) connection.Rollback();
  }
  // Only the key's insert stayed; the server rolled back Eva's.
  EXPECT_EQ(db.Scalar("select group_concat(Nome) from Cliente"),
            "Ana,Bruno,Carla");

  // Without NOCOUNT the server tells the rows changed.
  OdbcSession odbc(kFreeTdsDriver);
  SQLHSTMT stmt = odbc.NewStatement();
  EXPECT_EQ(OdbcSession::Exec(stmt, "update Cliente set Limite = Limite"),
            SQL_SUCCESS);
  EXPECT_EQ(RowCountOf(stmt), 3);
}

// The first column of the next row as text; nullopt for NULL or no row.
std::optional<std::string> NextText(SQLHSTMT stmt) {
  if (SQLFetch(stmt) != SQL_SUCCESS) return std::nullopt;
  char text[64] = {};
  SQLLEN indicator = 0;
  if (!SQL_SUCCEEDED(
          SQLGetData(stmt, 1, SQL_C_CHAR, text, sizeof text, &indicator)) ||
      indicator == SQL_NULL_DATA) {
    return std::nullopt;
  }
  return text;
}

TEST_F(ScriptedOdbcDriverTest, APreparedStatementRunsWithTheValuesBoundNow) {
  TempDatabase db(
      "create table Cliente (Id integer primary key, Nome varchar(60));"
      "insert into Cliente values (1, 'Ana');"
      "insert into Cliente values (2, 'Bruno');"
      "insert into Cliente values (3, 'Carla');");
  server().SetBackend(db.path());
  OdbcSession odbc(kFreeTdsDriver);
  SQLHSTMT stmt = odbc.NewStatement();
  const std::string by_id = "select Nome from Cliente where Id = ?";
  ASSERT_EQ(OdbcSession::Prepare(stmt, by_id), SQL_SUCCESS);
  SQLSMALLINT markers = 0;
  EXPECT_EQ(SQLNumParams(stmt, &markers), SQL_SUCCESS);
  EXPECT_EQ(markers, 1);
  SQLBIGINT id = 0;
  ASSERT_EQ(SQLBindParameter(stmt, 1, SQL_PARAM_INPUT, SQL_C_SBIGINT,
                             SQL_BIGINT, 0, 0, &id, 0, nullptr),
            SQL_SUCCESS);
  std::vector<std::optional<std::string>> names;
  for (id = 3; id >= 1; --id) {
    ASSERT_EQ(SQLExecute(stmt), SQL_SUCCESS);
    names.push_back(NextText(stmt));
    // Closing the cursor keeps the statement and its parameters.
    ASSERT_EQ(SQLFreeStmt(stmt, SQL_CLOSE), SQL_SUCCESS);
  }
  EXPECT_EQ(names,
            (std::vector<std::optional<std::string>>{"Carla", "Bruno", "Ana"}));
  EXPECT_EQ(CallsTo(server(), {"SQLPrepare"}).size(), 1u);
  const auto runs = CallsTo(server(), {"SQLExecDirect", "SQLExecute"});
  ASSERT_EQ(runs.size(), 3u);
  for (std::size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i].function, "SQLExecute");
    EXPECT_EQ(runs[i].text, by_id);
    ASSERT_EQ(runs[i].params.size(), 1u);
    EXPECT_EQ(runs[i].params[0].value, std::to_string(3 - i));
  }

  // Parameters reset and bound anew; then other text prepared in its place.
  SQLBIGINT other = 2;
  ASSERT_EQ(SQLFreeStmt(stmt, SQL_RESET_PARAMS), SQL_SUCCESS);
  ASSERT_EQ(SQLBindParameter(stmt, 1, SQL_PARAM_INPUT, SQL_C_SBIGINT,
                             SQL_BIGINT, 0, 0, &other, 0, nullptr),
            SQL_SUCCESS);
  ASSERT_EQ(SQLExecute(stmt), SQL_SUCCESS);
  EXPECT_EQ(NextText(stmt), "Bruno");
  ASSERT_EQ(SQLFreeStmt(stmt, SQL_CLOSE), SQL_SUCCESS);
  ASSERT_EQ(OdbcSession::Prepare(stmt,
                                 "select count(*) from Cliente where "
                                 "Id >= ?"),
            SQL_SUCCESS);
  ASSERT_EQ(SQLExecute(stmt), SQL_SUCCESS);
  EXPECT_EQ(NextText(stmt), "2");
  EXPECT_EQ(CallsTo(server(), {"SQLExecute"}).back().text,
            "select count(*) from Cliente where Id >= ?");
  ASSERT_EQ(SQLFreeStmt(stmt, SQL_CLOSE), SQL_SUCCESS);
  // A statement run directly takes the prepared one's place.
  ASSERT_EQ(OdbcSession::Exec(stmt, "select 1"), SQL_SUCCESS);
  ASSERT_EQ(SQLFreeStmt(stmt, SQL_CLOSE), SQL_SUCCESS);
  EXPECT_EQ(SQLExecute(stmt), SQL_ERROR);
  EXPECT_EQ(FirstDiag(SQL_HANDLE_STMT, stmt).sqlstate, "HY010");
}

TEST_F(ScriptedOdbcDriverTest, SQLExecuteMeetsWhatSQLExecDirectMeets) {
  struct Case {
    const char* name;
    std::function<void(ScriptedServer&, OdbcSession&)> before;
    SQLRETURN rc;
    std::string sqlstate;
    SQLLEN rows;  // SQLRowCount after a success
  };
  const Case cases[] = {
      {"a count", [](ScriptedServer&, OdbcSession&) {}, SQL_SUCCESS, "", 3},
      {"the connection's NOCOUNT",
       [](ScriptedServer&, OdbcSession& odbc) {
         OdbcSession::Exec(odbc.NewStatement(), "SET NOCOUNT ON");
       },
       SQL_SUCCESS, "", -1},
      {"an error",
       [](ScriptedServer& s, OdbcSession&) {
         s.Answer({"update Estoque", {Error("50000", "Estoque insuficiente")}});
       },
       SQL_ERROR, "50000", 0},
      {"a hang to its timeout",
       [](ScriptedServer& s, OdbcSession&) {
         s.Answer({"update Estoque", {Hang()}});
       },
       SQL_ERROR, "HYT00", 0},
      {"a restart", [](ScriptedServer& s, OdbcSession&) { s.Restart(); },
       SQL_ERROR, "08S01", 0},
      {"a failure scripted for it",
       [](ScriptedServer& s, OdbcSession&) {
         s.FailNext("SQLExecute", "HY000", "The server did not answer", false);
       },
       SQL_ERROR, "HY000", 0},
  };
  const std::string sql = "update Estoque set Qtd = Qtd - ? where Id = 7";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server().Reset();
    OdbcSession odbc(kFreeTdsDriver);
    SQLHSTMT stmt = odbc.NewStatement();
    SetQueryTimeout(stmt, 1);
    ASSERT_EQ(OdbcSession::Prepare(stmt, sql), SQL_SUCCESS);
    SQLINTEGER quantity = 2;
    ASSERT_EQ(SQLBindParameter(stmt, 1, SQL_PARAM_INPUT, SQL_C_LONG,
                               SQL_INTEGER, 0, 0, &quantity, 0, nullptr),
              SQL_SUCCESS);
    c.before(server(), odbc);
    server().Answer({"update Estoque", {Count(3)}});  // after the case's own
    EXPECT_EQ(SQLExecute(stmt), c.rc);
    EXPECT_EQ(FirstDiag(SQL_HANDLE_STMT, stmt).sqlstate, c.sqlstate);
    if (c.rc == SQL_SUCCESS) {
      EXPECT_EQ(RowCountOf(stmt), c.rows);
    }
    const auto runs = CallsTo(server(), {"SQLExecute"});
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].rc, c.rc);
    ASSERT_EQ(runs[0].params.size(), 1u);
    EXPECT_EQ(runs[0].params[0].value, "2");
  }
}

// UTF-8 of UTF-16 text without surrogates, up to its terminator.
std::string Utf8Of(const char16_t* text) {
  std::string out;
  for (; *text != 0; ++text) {
    const char32_t c = *text;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

template <typename T>
T Read(const char* element) {
  T v{};
  std::memcpy(&v, element, sizeof v);
  return v;
}

TEST_F(ScriptedOdbcDriverTest, ARowArrayFillsTheBoundBuffersRowsAtATime) {
  constexpr SQLLEN kNull = SQL_NULL_DATA;
  // Each column: how it is bound, and per row what its element reads as
  // and its indicator (for text the whole length, cut or not).
  struct Column {
    ScriptColumn column;
    SQLSMALLINT c_type;
    std::size_t element;  // bytes
    std::function<std::string(const char*)> read;
    std::vector<ScriptValue> values;
    std::vector<std::pair<std::string, SQLLEN>> expected;
  };
  const std::vector<Column> kColumns = {
      {{"Id", SQL_BIGINT, 19},
       SQL_C_SBIGINT,
       8,
       [](const char* e) { return std::to_string(Read<SQLBIGINT>(e)); },
       {"1", "2", "3", "4", "5", "6", "-7"},
       {{"1", 8}, {"2", 8}, {"3", 8}, {"4", 8}, {"5", 8}, {"6", 8}, {"-7", 8}}},
      {{"Qtd", SQL_INTEGER, 10},
       SQL_C_LONG,
       4,
       [](const char* e) { return std::to_string(Read<SQLINTEGER>(e)); },
       {"10", "-20", std::nullopt, "40", "50", "60", "70"},
       {{"10", 4},
        {"-20", 4},
        {"", kNull},
        {"40", 4},
        {"50", 4},
        {"60", 4},
        {"70", 4}}},
      {{"Total", SQL_DECIMAL, 15, 4},
       SQL_C_DOUBLE,
       8,
       [](const char* e) { return std::to_string(Read<double>(e)); },
       {"12.3400", "0.5000", "3.0000", std::nullopt, "-1.2500", "0.0000",
        "7.7500"},
       {{"12.340000", 8},
        {"0.500000", 8},
        {"3.000000", 8},
        {"", kNull},
        {"-1.250000", 8},
        {"0.000000", 8},
        {"7.750000", 8}}},
      {{"Emissao", SQL_TYPE_TIMESTAMP, 23, 3},
       SQL_C_TYPE_TIMESTAMP,
       sizeof(SQL_TIMESTAMP_STRUCT),
       [](const char* e) {
         const auto t = Read<SQL_TIMESTAMP_STRUCT>(e);
         char text[64];
         std::snprintf(text, sizeof text, "%04d-%02u-%02u %02u:%02u:%02u.%09u",
                       t.year, t.month, t.day, t.hour, t.minute, t.second,
                       t.fraction);
         return std::string(text);
       },
       {"2024-03-05 14:05:09.123", std::nullopt, "2024-12-31 23:59:59.997",
        "2025-01-01 00:00:00.000", "2025-02-28 08:30:00.500", std::nullopt,
        "2025-03-01 12:00:00.000"},
       {{"2024-03-05 14:05:09.123000000", 16},
        {"", kNull},
        {"2024-12-31 23:59:59.997000000", 16},
        {"2025-01-01 00:00:00.000000000", 16},
        {"2025-02-28 08:30:00.500000000", 16},
        {"", kNull},
        {"2025-03-01 12:00:00.000000000", 16}}},
      {{"Nome", SQL_VARCHAR, 60},
       SQL_C_CHAR,
       8,
       [](const char* e) { return std::string(e); },
       {"Ana", "Bartolomeu", "", std::nullopt, "Eva", "Fernanda", "Gil"},
       {{"Ana", 3},
        {"Bartolo", 10},
        {"", 0},
        {"", kNull},
        {"Eva", 3},
        {"Fernand", 8},
        {"Gil", 3}}},
      {{"Cidade", SQL_WVARCHAR, 40},
       SQL_C_WCHAR,
       16,
       [](const char* e) {
         char16_t units[8];
         std::memcpy(units, e, sizeof units);
         return Utf8Of(units);
       },
       {"S\xC3\xA3o Jo\xC3\xA3o", "Bel\xC3\xA9m", std::nullopt, "Natal",
        "Ita\xC3\xBA", "Bag\xC3\xA9", "Ourinhos"},
       {{"S\xC3\xA3o Jo\xC3\xA3", 16},
        {"Bel\xC3\xA9m", 10},
        {"", kNull},
        {"Natal", 10},
        {"Ita\xC3\xBA", 8},
        {"Bag\xC3\xA9", 8},
        {"Ourinho", 16}}},
  };
  constexpr std::size_t kRows = 7;
  constexpr SQLULEN kArray = 3;
  // Rows with a value cut short; the rest succeed.
  const std::vector<SQLUSMALLINT> kStatus = {
      SQL_ROW_SUCCESS_WITH_INFO, SQL_ROW_SUCCESS_WITH_INFO,
      SQL_ROW_SUCCESS,           SQL_ROW_SUCCESS,
      SQL_ROW_SUCCESS,           SQL_ROW_SUCCESS_WITH_INFO,
      SQL_ROW_SUCCESS_WITH_INFO};
  std::vector<ScriptColumn> columns;
  std::vector<std::vector<ScriptValue>> rows(kRows);
  for (const Column& c : kColumns) {
    columns.push_back(c.column);
    for (std::size_t r = 0; r < kRows; ++r) rows[r].push_back(c.values[r]);
  }
  auto padded = [](std::size_t n) { return (n + 7) / 8 * 8; };

  for (const bool row_wise : {false, true}) {
    SCOPED_TRACE(row_wise ? "row-wise" : "column-wise");
    server().Reset();
    server().Answer({"from Pedido", {Rows(columns, rows)}});
    OdbcSession odbc(kFreeTdsDriver);
    SQLHSTMT stmt = odbc.NewStatement();
    // Row-wise, one structure a row holds each value and its indicator;
    // column-wise, each column's values and its indicators lie in blocks.
    struct Place {
      std::size_t value, value_step, indicator, indicator_step;
    };
    std::vector<Place> places;
    std::size_t bytes = 0;
    for (const Column& c : kColumns) {
      Place& p = places.emplace_back();
      p.value = bytes;
      bytes += padded(row_wise ? c.element : c.element * kArray);
      p.indicator = bytes;
      bytes += row_wise ? sizeof(SQLLEN) : sizeof(SQLLEN) * kArray;
      p.value_step = c.element;
      p.indicator_step = sizeof(SQLLEN);
    }
    const std::size_t stride = bytes;
    if (row_wise) {
      for (Place& p : places) p.value_step = p.indicator_step = stride;
      bytes *= kArray;
    }
    std::vector<SQLLEN> memory(bytes / sizeof(SQLLEN));  // aligned for SQLLEN
    char* base = reinterpret_cast<char*>(memory.data());
    for (std::size_t i = 0; i < kColumns.size(); ++i) {
      ASSERT_EQ(
          SQLBindCol(stmt, static_cast<SQLUSMALLINT>(i + 1), kColumns[i].c_type,
                     base + places[i].value,
                     static_cast<SQLLEN>(kColumns[i].element),
                     reinterpret_cast<SQLLEN*>(base + places[i].indicator)),
          SQL_SUCCESS);
    }
    SQLULEN fetched = 99;
    SQLUSMALLINT status[kArray] = {};
    ASSERT_EQ(SQLSetStmtAttr(stmt, SQL_ATTR_ROW_BIND_TYPE,
                             reinterpret_cast<SQLPOINTER>(
                                 row_wise ? stride : SQL_BIND_BY_COLUMN),
                             0),
              SQL_SUCCESS);
    ASSERT_EQ(SQLSetStmtAttr(stmt, SQL_ATTR_ROW_ARRAY_SIZE,
                             reinterpret_cast<SQLPOINTER>(kArray), 0),
              SQL_SUCCESS);
    ASSERT_EQ(SQLSetStmtAttr(stmt, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0),
              SQL_SUCCESS);
    ASSERT_EQ(SQLSetStmtAttr(stmt, SQL_ATTR_ROW_STATUS_PTR, status, 0),
              SQL_SUCCESS);
    ASSERT_EQ(OdbcSession::Exec(stmt, "select * from Pedido"), SQL_SUCCESS);

    std::size_t first = 0;  // the rowset's first row
    for (const SQLULEN expected_rows : {3u, 3u, 1u}) {
      SCOPED_TRACE(first);
      bool cut = false;
      for (std::size_t row = first; row < first + expected_rows; ++row) {
        cut = cut || kStatus[row] == SQL_ROW_SUCCESS_WITH_INFO;
      }
      EXPECT_EQ(SQLFetch(stmt), cut ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS);
      if (cut) {
        EXPECT_EQ(FirstDiag(SQL_HANDLE_STMT, stmt).sqlstate, "01004");
      }
      ASSERT_EQ(fetched, expected_rows);
      for (std::size_t slot = expected_rows; slot < kArray; ++slot) {
        EXPECT_EQ(status[slot], SQL_ROW_NOROW);
      }
      for (std::size_t slot = 0; slot < expected_rows; ++slot) {
        const std::size_t row = first + slot;
        EXPECT_EQ(status[slot], kStatus[row]) << "row " << row;
        for (std::size_t i = 0; i < kColumns.size(); ++i) {
          SCOPED_TRACE(kColumns[i].column.name);
          const auto& [text, indicator] = kColumns[i].expected[row];
          const Place& p = places[i];
          EXPECT_EQ(Read<SQLLEN>(base + p.indicator + slot * p.indicator_step),
                    indicator)
              << "row " << row;
          if (indicator != kNull) {
            EXPECT_EQ(kColumns[i].read(base + p.value + slot * p.value_step),
                      text)
                << "row " << row;
          }
        }
      }
      first += expected_rows;
    }
    fetched = 99;
    EXPECT_EQ(SQLFetch(stmt), SQL_NO_DATA);
    EXPECT_EQ(fetched, 0u);
    // Every call is there to count: one fetch a rowset, one bind a column.
    std::vector<long long> fetches;
    for (const Call& call : CallsTo(server(), {"SQLFetch"})) {
      fetches.push_back(call.value);
    }
    EXPECT_EQ(fetches, (std::vector<long long>{3, 3, 1, 0}));
    EXPECT_EQ(CallsTo(server(), {"SQLBindCol"}).size(), kColumns.size());
    EXPECT_TRUE(CallsTo(server(), {"SQLGetData"}).empty());
  }
}

TEST_F(ScriptedOdbcDriverTest, AValueThatDoesNotConvertFailsItsRowOnly) {
  const struct {
    SQLULEN array;
    std::vector<SQLRETURN> fetches;
  } kCases[] = {
      {3, {SQL_SUCCESS_WITH_INFO, SQL_NO_DATA}},
      {1, {SQL_SUCCESS, SQL_ERROR, SQL_SUCCESS, SQL_NO_DATA}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.array);
    server().Reset();
    server().Answer({"from Pedido",
                     {Rows({{"Id", SQL_VARCHAR, 10}}, {{"1"}, {"x"}, {"3"}})}});
    OdbcSession odbc(kMicrosoftDriver);
    SQLHSTMT stmt = odbc.NewStatement();
    SQLBIGINT ids[3] = {};
    SQLLEN indicators[3] = {};
    SQLUSMALLINT status[3] = {};
    ASSERT_EQ(SQLBindCol(stmt, 1, SQL_C_SBIGINT, ids, 0, indicators),
              SQL_SUCCESS);
    SQLSetStmtAttr(stmt, SQL_ATTR_ROW_ARRAY_SIZE,
                   reinterpret_cast<SQLPOINTER>(c.array), 0);
    SQLSetStmtAttr(stmt, SQL_ATTR_ROW_STATUS_PTR, status, 0);
    ASSERT_EQ(OdbcSession::Exec(stmt, "select Id from Pedido"), SQL_SUCCESS);
    std::vector<SQLUSMALLINT> statuses;
    std::vector<SQLBIGINT> values;
    for (const SQLRETURN expected : c.fetches) {
      const SQLRETURN rc = SQLFetch(stmt);
      EXPECT_EQ(rc, expected);
      if (rc == SQL_NO_DATA) break;
      if (rc != SQL_SUCCESS) {
        EXPECT_EQ(FirstDiag(SQL_HANDLE_STMT, stmt).sqlstate, "22018");
      }
      for (std::size_t slot = 0; slot < c.array; ++slot) {
        statuses.push_back(status[slot]);
        if (status[slot] != SQL_ROW_ERROR) values.push_back(ids[slot]);
      }
    }
    EXPECT_EQ(statuses, (std::vector<SQLUSMALLINT>{
                            SQL_ROW_SUCCESS, SQL_ROW_ERROR, SQL_ROW_SUCCESS}));
    EXPECT_EQ(values, (std::vector<SQLBIGINT>{1, 3}));
  }
}

TEST_F(ScriptedOdbcDriverTest, SQLGetDataInARowsetAsThePersonalityAllows) {
  const struct {
    std::string_view driver;
    SQLUINTEGER extensions;  // SQLGetInfo(SQL_GETDATA_EXTENSIONS)
    // SQLGetData within a rowset of three: the row it reads first, then
    // after SQLSetPos to the third; nothing where it fails.
    std::optional<std::string> first;
    std::optional<std::string> third;
  } kCases[] = {
      {kFreeTdsDriver, SQL_GD_BLOCK, "Ana", "Carla"},
      {kMicrosoftDriver, SQL_GD_ANY_COLUMN | SQL_GD_ANY_ORDER | SQL_GD_BOUND,
       std::nullopt, std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.driver);
    server().Reset();
    server().Answer(
        {"from Cliente",
         {Rows({{"Nome", SQL_VARCHAR, 60}},
               {{"Ana"}, {"Bruno"}, {"Carla"}, {"Davi"}, {"Eva"}})}});
    OdbcSession odbc(c.driver);
    SQLUINTEGER extensions = 0;
    ASSERT_EQ(SQLGetInfo(odbc.dbc(), SQL_GETDATA_EXTENSIONS, &extensions,
                         sizeof extensions, nullptr),
              SQL_SUCCESS);
    EXPECT_EQ(extensions, c.extensions);
    SQLHSTMT stmt = odbc.NewStatement();
    SQLSetStmtAttr(stmt, SQL_ATTR_ROW_ARRAY_SIZE,
                   reinterpret_cast<SQLPOINTER>(SQLULEN{3}), 0);
    ASSERT_EQ(OdbcSession::Exec(stmt, "select Nome from Cliente"), SQL_SUCCESS);
    ASSERT_EQ(SQLFetch(stmt), SQL_SUCCESS);
    auto get = [&]() -> std::optional<std::string> {
      char text[16] = {};
      SQLLEN indicator = 0;
      if (SQLGetData(stmt, 1, SQL_C_CHAR, text, sizeof text, &indicator) !=
          SQL_SUCCESS) {
        EXPECT_EQ(FirstDiag(SQL_HANDLE_STMT, stmt).sqlstate, "HYC00");
        return std::nullopt;
      }
      return text;
    };
    EXPECT_EQ(get(), c.first);
    ASSERT_EQ(SQLSetPos(stmt, 3, SQL_POSITION, SQL_LOCK_NO_CHANGE),
              SQL_SUCCESS);
    EXPECT_EQ(get(), c.third);
    EXPECT_EQ(SQLSetPos(stmt, 4, SQL_POSITION, SQL_LOCK_NO_CHANGE), SQL_ERROR);
    EXPECT_EQ(FirstDiag(SQL_HANDLE_STMT, stmt).sqlstate, "HY107");
    // One row at a time, every personality reads it.
    SQLSetStmtAttr(stmt, SQL_ATTR_ROW_ARRAY_SIZE,
                   reinterpret_cast<SQLPOINTER>(SQLULEN{1}), 0);
    ASSERT_EQ(SQLFetch(stmt), SQL_SUCCESS);
    EXPECT_EQ(get(), "Davi");
  }
}

}  // namespace
}  // namespace norvessa::testing
