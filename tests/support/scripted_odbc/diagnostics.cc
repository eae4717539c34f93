// Diagnostic records: how failures are reported, and how they are read.

#include <cstring>
#include <utility>

#include "support/scripted_odbc/driver_support.h"
#include "support/scripted_odbc/scripted_driver.h"

namespace norvessa::testing::scripted {
namespace {

// The message as the personality's driver words it: FreeTDS prefixes
// everything alike, Microsoft's driver tells the server's messages from its
// own. A message the script gave with a prefix of its own keeps it.
std::string Prefixed(const Connection* c, Origin origin,
                     std::string_view message) {
  std::string out;
  if (message.empty() || message.front() != '[') {
    if (c == nullptr || c->personality == Personality::kFreeTds) {
      out = "[FreeTDS][SQL Server]";
    } else {
      out = "[Microsoft][ODBC Driver 18 for SQL Server]";
      if (origin == Origin::kServer) out += "[SQL Server]";
    }
  }
  out += message;
  return out;
}

}  // namespace

Failure FailureOf(const ScriptResult& error) {
  return {error.sqlstate,  error.message, error.kills_connection,
          Origin::kServer, error.native,  error.more};
}

Connection* ConnectionOf(Handle& handle) {
  switch (handle.type) {
    case SQL_HANDLE_DBC:
      return static_cast<Connection*>(&handle);
    case SQL_HANDLE_STMT:
      return static_cast<Statement&>(handle).connection;
    default:
      return nullptr;
  }
}

void Server::Diagnose(Handle& handle, std::string sqlstate,
                      std::string_view message, Origin origin, int native) {
  handle.diagnostics.push_back({std::move(sqlstate),
                                Prefixed(ConnectionOf(handle), origin, message),
                                native});
}

SQLRETURN Server::Fail(Handle& handle, Connection* connection,
                       const Failure& failure) {
  Diagnose(handle, failure.sqlstate, failure.message, failure.origin,
           failure.native);
  for (const auto& [sqlstate, message] : failure.more) {
    Diagnose(handle, sqlstate, message, failure.origin);
  }
  if (failure.kills_connection && connection != nullptr) {
    connection->dead = true;
  }
  return SQL_ERROR;
}

// --- Diagnostics -----------------------------------------------------------
// These read the last call's records and leave them, and its return code,
// as they are.

SQLRETURN Server::GetDiagRec(SQLSMALLINT type, SQLHANDLE handle,
                             SQLSMALLINT record, SQLCHAR* sqlstate,
                             SQLINTEGER* native, SQLCHAR* message,
                             SQLSMALLINT buffer_length, SQLSMALLINT* length) {
  Handle* h = FindAny(type, handle);
  if (h == nullptr) return SQL_INVALID_HANDLE;
  Connection* c = ConnectionOf(*h);
  Call call = Named("SQLGetDiagRec", record);
  const SQLRETURN saved = h->rc;
  SQLRETURN rc = SQL_SUCCESS;
  if (record < 1 || buffer_length < 0) {
    rc = SQL_ERROR;
  } else if (static_cast<std::size_t>(record) > h->diagnostics.size()) {
    rc = SQL_NO_DATA;
  } else {
    const Diagnostic& d = h->diagnostics[record - 1];
    call.text = d.sqlstate;
    if (sqlstate != nullptr) CopyOut(d.sqlstate, sqlstate, 6);
    if (native != nullptr) *native = d.native;
    if (length != nullptr) *length = static_cast<SQLSMALLINT>(d.message.size());
    if (message != nullptr && CopyOut(d.message, message, buffer_length)) {
      rc = SQL_SUCCESS_WITH_INFO;
    }
  }
  Finish(*h, c, std::move(call), rc);
  h->rc = saved;
  return rc;
}

SQLRETURN Server::GetDiagField(SQLSMALLINT type, SQLHANDLE handle,
                               SQLSMALLINT record, SQLSMALLINT field,
                               SQLPOINTER value, SQLSMALLINT buffer_length,
                               SQLSMALLINT* length) {
  Handle* h = FindAny(type, handle);
  if (h == nullptr) return SQL_INVALID_HANDLE;
  Connection* c = ConnectionOf(*h);
  Call call = Named("SQLGetDiagField", record, field);
  const SQLRETURN saved = h->rc;
  auto number = [&](auto answer) {
    if (value != nullptr) std::memcpy(value, &answer, sizeof answer);
    return SQL_SUCCESS;
  };
  auto text = [&](std::string_view answer) {
    if (length != nullptr) *length = static_cast<SQLSMALLINT>(answer.size());
    return CopyOut(answer, value, buffer_length) ? SQL_SUCCESS_WITH_INFO
                                                 : SQL_SUCCESS;
  };
  SQLRETURN rc = SQL_SUCCESS;
  if (record == 0) {
    // Header fields.
    switch (field) {
      case SQL_DIAG_NUMBER:
        rc = number(static_cast<SQLINTEGER>(h->diagnostics.size()));
        break;
      case SQL_DIAG_RETURNCODE:
        rc = number(static_cast<SQLRETURN>(saved));
        break;
      case SQL_DIAG_ROW_COUNT:
      case SQL_DIAG_CURSOR_ROW_COUNT: {
        SQLLEN rows = 0;
        if (type == SQL_HANDLE_STMT) {
          const ScriptResult* r = static_cast<Statement*>(h)->Current();
          if (r != nullptr) {
            rows = r->kind == ScriptResult::Kind::kCount
                       ? static_cast<SQLLEN>(r->count)
                       : static_cast<SQLLEN>(r->rows.size());
          }
        }
        rc = number(rows);
        break;
      }
      case SQL_DIAG_DYNAMIC_FUNCTION:
        rc = text("");
        break;
      case SQL_DIAG_DYNAMIC_FUNCTION_CODE:
        rc = number(static_cast<SQLINTEGER>(SQL_DIAG_UNKNOWN_STATEMENT));
        break;
      default:
        rc = SQL_ERROR;
        break;
    }
  } else if (record < 0 ||
             static_cast<std::size_t>(record) > h->diagnostics.size()) {
    rc = record < 0 ? SQL_ERROR : SQL_NO_DATA;
  } else {
    const Diagnostic& d = h->diagnostics[record - 1];
    switch (field) {
      case SQL_DIAG_SQLSTATE:
        rc = text(d.sqlstate);
        break;
      case SQL_DIAG_MESSAGE_TEXT:
        rc = text(d.message);
        break;
      case SQL_DIAG_NATIVE:
        rc = number(static_cast<SQLINTEGER>(d.native));
        break;
      case SQL_DIAG_CLASS_ORIGIN:
      case SQL_DIAG_SUBCLASS_ORIGIN:
        rc = text(d.sqlstate.rfind("IM", 0) == 0 ? "ODBC 3.0" : "ISO 9075");
        break;
      case SQL_DIAG_CONNECTION_NAME:
        rc = text("");
        break;
      case SQL_DIAG_SERVER_NAME:
        rc = text(c != nullptr ? c->server_name : "");
        break;
      case SQL_DIAG_COLUMN_NUMBER:
        rc = number(static_cast<SQLINTEGER>(SQL_COLUMN_NUMBER_UNKNOWN));
        break;
      case SQL_DIAG_ROW_NUMBER:
        rc = number(static_cast<SQLLEN>(SQL_ROW_NUMBER_UNKNOWN));
        break;
      default:
        rc = SQL_ERROR;
        break;
    }
  }
  Finish(*h, c, std::move(call), rc);
  h->rc = saved;
  return rc;
}

}  // namespace norvessa::testing::scripted
