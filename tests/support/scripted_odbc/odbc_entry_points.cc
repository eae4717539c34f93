// The ODBC functions unixODBC looks up in the driver. The library is built
// with hidden visibility and -Bsymbolic: only these and ScriptedOdbcServer
// are exported, and none of them ever resolves to libodbc's functions of
// the same names, which the test process has loaded too.

#include <sql.h>
#include <sqlext.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "support/scripted_odbc/scripted_driver.h"

#define SCRIPTED_ODBC_EXPORT __attribute__((visibility("default")))

namespace {

using norvessa::testing::scripted::Lock;
using norvessa::testing::scripted::Server;

// Calls are serialized: the service reaches the driver from many threads.
// A call that waits gives the lock up meanwhile. Nothing may unwind into
// the Driver Manager's C frames.
template <typename F>
SQLRETURN Locked(F&& body) {
  try {
    Server& server = Server::Instance();
    Lock lock(server.mutex());
    return body(server, lock);
  } catch (...) {
    return SQL_ERROR;
  }
}

// A server that accepts the connection and never answers, behind a driver
// that ignores its login timeout: with SCRIPTED_ODBC_CONNECT_HANGS set in
// the environment, SQLDriverConnect never returns. It first appends
// "SQLDriverConnect hangs" to the SCRIPTED_ODBC_TRACE file, if any, so a
// test in another process knows the call has begun. The server's mutex is
// not held while it waits.
void HangIfScripted() {
  const char* hangs = std::getenv("SCRIPTED_ODBC_CONNECT_HANGS");
  if (hangs == nullptr || *hangs == '\0') return;
  if (const char* path = std::getenv("SCRIPTED_ODBC_TRACE");
      path != nullptr && *path != '\0') {
    if (FILE* f = std::fopen(path, "a")) {
      std::fputs("SQLDriverConnect hangs\n", f);
      std::fclose(f);
    }
  }
  while (true) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

extern "C" SCRIPTED_ODBC_EXPORT norvessa::testing::ScriptedServer*
ScriptedOdbcServer() {
  return &Server::Instance();
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT type,
                                                      SQLHANDLE input,
                                                      SQLHANDLE* output) {
  return Locked(
      [&](Server& s, Lock&) { return s.AllocHandle(type, input, output); });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT type,
                                                     SQLHANDLE handle) {
  return Locked([&](Server& s, Lock&) { return s.FreeHandle(type, handle); });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLSetEnvAttr(SQLHENV env,
                                                     SQLINTEGER attribute,
                                                     SQLPOINTER value,
                                                     SQLINTEGER /*length*/) {
  return Locked(
      [&](Server& s, Lock&) { return s.SetEnvAttr(env, attribute, value); });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API
SQLGetEnvAttr(SQLHENV env, SQLINTEGER attribute, SQLPOINTER value,
              SQLINTEGER /*buffer_length*/, SQLINTEGER* length) {
  return Locked([&](Server& s, Lock&) {
    return s.GetEnvAttr(env, attribute, value, length);
  });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLSetConnectAttr(SQLHDBC dbc,
                                                         SQLINTEGER attribute,
                                                         SQLPOINTER value,
                                                         SQLINTEGER length) {
  return Locked([&](Server& s, Lock& lock) {
    return s.SetConnectAttr(lock, dbc, attribute, value, length);
  });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API
SQLGetConnectAttr(SQLHDBC dbc, SQLINTEGER attribute, SQLPOINTER value,
                  SQLINTEGER buffer_length, SQLINTEGER* length) {
  return Locked([&](Server& s, Lock&) {
    return s.GetConnectAttr(dbc, attribute, value, buffer_length, length);
  });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API
SQLDriverConnect(SQLHDBC dbc, SQLHWND /*window*/, SQLCHAR* in,
                 SQLSMALLINT in_length, SQLCHAR* out, SQLSMALLINT out_max,
                 SQLSMALLINT* out_length, SQLUSMALLINT /*completion*/) {
  HangIfScripted();
  return Locked([&](Server& s, Lock& lock) {
    return s.DriverConnect(lock, dbc, in, in_length, out, out_max, out_length);
  });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLDisconnect(SQLHDBC dbc) {
  return Locked([&](Server& s, Lock&) { return s.Disconnect(dbc); });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLGetInfo(SQLHDBC dbc,
                                                  SQLUSMALLINT info,
                                                  SQLPOINTER value,
                                                  SQLSMALLINT buffer_length,
                                                  SQLSMALLINT* length) {
  return Locked([&](Server& s, Lock&) {
    return s.GetInfo(dbc, info, value, buffer_length, length);
  });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API
SQLGetFunctions(SQLHDBC dbc, SQLUSMALLINT function, SQLUSMALLINT* supported) {
  return Locked([&](Server& s, Lock&) {
    return s.GetFunctions(dbc, function, supported);
  });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLEndTran(SQLSMALLINT type,
                                                  SQLHANDLE handle,
                                                  SQLSMALLINT completion) {
  return Locked([&](Server& s, Lock& lock) {
    return s.EndTran(lock, type, handle, completion);
  });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLSetStmtAttr(SQLHSTMT stmt,
                                                      SQLINTEGER attribute,
                                                      SQLPOINTER value,
                                                      SQLINTEGER /*length*/) {
  return Locked(
      [&](Server& s, Lock&) { return s.SetStmtAttr(stmt, attribute, value); });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API
SQLGetStmtAttr(SQLHSTMT stmt, SQLINTEGER attribute, SQLPOINTER value,
               SQLINTEGER /*buffer_length*/, SQLINTEGER* length) {
  return Locked([&](Server& s, Lock&) {
    return s.GetStmtAttr(stmt, attribute, value, length);
  });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API
SQLBindParameter(SQLHSTMT stmt, SQLUSMALLINT number, SQLSMALLINT direction,
                 SQLSMALLINT c_type, SQLSMALLINT sql_type, SQLULEN column_size,
                 SQLSMALLINT digits, SQLPOINTER value, SQLLEN buffer_length,
                 SQLLEN* indicator) {
  return Locked([&](Server& s, Lock&) {
    return s.BindParameter(stmt, number, direction, c_type, sql_type,
                           column_size, digits, value, buffer_length,
                           indicator);
  });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLExecDirect(SQLHSTMT stmt,
                                                     SQLCHAR* text,
                                                     SQLINTEGER length) {
  return Locked([&](Server& s, Lock& lock) {
    return s.ExecDirect(lock, stmt, text, length);
  });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLPrepare(SQLHSTMT stmt, SQLCHAR* text,
                                                  SQLINTEGER length) {
  return Locked(
      [&](Server& s, Lock&) { return s.Prepare(stmt, text, length); });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLExecute(SQLHSTMT stmt) {
  return Locked([&](Server& s, Lock& lock) { return s.Execute(lock, stmt); });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLNumParams(SQLHSTMT stmt,
                                                    SQLSMALLINT* count) {
  return Locked([&](Server& s, Lock&) { return s.NumParams(stmt, count); });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API
SQLBindCol(SQLHSTMT stmt, SQLUSMALLINT column, SQLSMALLINT c_type,
           SQLPOINTER target, SQLLEN buffer_length, SQLLEN* indicator) {
  return Locked([&](Server& s, Lock&) {
    return s.BindCol(stmt, column, c_type, target, buffer_length, indicator);
  });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLSetPos(SQLHSTMT stmt,
                                                 SQLSETPOSIROW row,
                                                 SQLUSMALLINT operation,
                                                 SQLUSMALLINT lock_type) {
  return Locked([&](Server& s, Lock&) {
    return s.SetPos(stmt, row, operation, lock_type);
  });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT stmt,
                                                        SQLSMALLINT* count) {
  return Locked([&](Server& s, Lock&) { return s.NumResultCols(stmt, count); });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLDescribeCol(
    SQLHSTMT stmt, SQLUSMALLINT column, SQLCHAR* name,
    SQLSMALLINT buffer_length, SQLSMALLINT* name_length, SQLSMALLINT* sql_type,
    SQLULEN* size, SQLSMALLINT* digits, SQLSMALLINT* nullable) {
  return Locked([&](Server& s, Lock&) {
    return s.DescribeCol(stmt, column, name, buffer_length, name_length,
                         sql_type, size, digits, nullable);
  });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLFetch(SQLHSTMT stmt) {
  return Locked([&](Server& s, Lock&) { return s.Fetch(stmt); });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API
SQLGetData(SQLHSTMT stmt, SQLUSMALLINT column, SQLSMALLINT c_type,
           SQLPOINTER target, SQLLEN buffer_length, SQLLEN* indicator) {
  return Locked([&](Server& s, Lock&) {
    return s.GetData(stmt, column, c_type, target, buffer_length, indicator);
  });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLMoreResults(SQLHSTMT stmt) {
  return Locked([&](Server& s, Lock&) { return s.MoreResults(stmt); });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLRowCount(SQLHSTMT stmt,
                                                   SQLLEN* count) {
  return Locked([&](Server& s, Lock&) { return s.RowCount(stmt, count); });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT stmt,
                                                   SQLUSMALLINT option) {
  return Locked([&](Server& s, Lock&) { return s.FreeStmt(stmt, option); });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLCloseCursor(SQLHSTMT stmt) {
  return Locked([&](Server& s, Lock&) { return s.CloseCursor(stmt); });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLCancel(SQLHSTMT stmt) {
  return Locked([&](Server& s, Lock&) { return s.Cancel(stmt); });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API
SQLGetDiagRec(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record,
              SQLCHAR* sqlstate, SQLINTEGER* native, SQLCHAR* message,
              SQLSMALLINT buffer_length, SQLSMALLINT* length) {
  return Locked([&](Server& s, Lock&) {
    return s.GetDiagRec(type, handle, record, sqlstate, native, message,
                        buffer_length, length);
  });
}

SCRIPTED_ODBC_EXPORT SQLRETURN SQL_API SQLGetDiagField(
    SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record, SQLSMALLINT field,
    SQLPOINTER value, SQLSMALLINT buffer_length, SQLSMALLINT* length) {
  return Locked([&](Server& s, Lock&) {
    return s.GetDiagField(type, handle, record, field, value, buffer_length,
                          length);
  });
}
