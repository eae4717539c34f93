// Allocating and freeing handles, and their attributes.

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "support/scripted_odbc/driver_support.h"
#include "support/scripted_odbc/scripted_driver.h"

namespace norvessa::testing::scripted {

SQLRETURN Server::AllocHandle(SQLSMALLINT type, SQLHANDLE input,
                              SQLHANDLE* output) {
  if (output == nullptr) return SQL_ERROR;
  Call call = Named("SQLAllocHandle", type);
  switch (type) {
    case SQL_HANDLE_ENV: {
      auto owned = std::make_unique<Environment>();
      Environment& env = *owned;
      handles_.emplace(&env, std::move(owned));
      *output = &env;
      return Finish(env, nullptr, std::move(call), SQL_SUCCESS);
    }
    case SQL_HANDLE_DBC: {
      auto* env = Find<Environment>(input, SQL_HANDLE_ENV);
      if (env == nullptr) return SQL_INVALID_HANDLE;
      env->diagnostics.clear();
      auto owned = std::make_unique<Connection>(env);
      Connection& c = *owned;
      handles_.emplace(&c, std::move(owned));
      *output = &c;
      return Finish(c, &c, std::move(call), SQL_SUCCESS);
    }
    case SQL_HANDLE_STMT: {
      auto* c = Find<Connection>(input, SQL_HANDLE_DBC);
      if (c == nullptr) return SQL_INVALID_HANDLE;
      c->diagnostics.clear();
      if (!c->connected) {
        return Finish(*c, c, std::move(call),
                      Fail(*c, nullptr, {"08003", "Connection not open"}));
      }
      auto owned = std::make_unique<Statement>(c);
      Statement& stmt = *owned;
      handles_.emplace(&stmt, std::move(owned));
      *output = &stmt;
      return Finish(*c, c, std::move(call), SQL_SUCCESS);
    }
    default: {
      Handle* parent = FindAny(SQL_HANDLE_DBC, input);
      if (parent == nullptr) return SQL_ERROR;
      parent->diagnostics.clear();
      return Finish(*parent, static_cast<Connection*>(parent), std::move(call),
                    Fail(*parent, nullptr,
                         {"HYC00", "Optional feature not implemented"}));
    }
  }
}

SQLRETURN Server::FreeHandle(SQLSMALLINT type, SQLHANDLE handle) {
  Handle* h = FindAny(type, handle);
  if (h == nullptr) return SQL_INVALID_HANDLE;
  h->diagnostics.clear();
  Call call = Named("SQLFreeHandle", type);
  const Failure busy{"HY010", "Function sequence error"};
  Connection* c = nullptr;
  if (type == SQL_HANDLE_ENV) {
    const bool in_use =
        std::any_of(handles_.begin(), handles_.end(), [&](const auto& entry) {
          return entry.second->type == SQL_HANDLE_DBC &&
                 static_cast<const Connection&>(*entry.second).environment == h;
        });
    if (in_use) return Finish(*h, nullptr, std::move(call), Fail(*h, c, busy));
  } else if (type == SQL_HANDLE_DBC) {
    c = static_cast<Connection*>(h);
    if (c->connected) return Finish(*h, c, std::move(call), Fail(*h, c, busy));
  } else {
    c = static_cast<Statement*>(h)->connection;
  }
  const SQLRETURN rc = Finish(*h, c, std::move(call), SQL_SUCCESS);
  handles_.erase(handle);
  return rc;
}

SQLRETURN Server::SetEnvAttr(SQLHENV handle, SQLINTEGER attribute,
                             SQLPOINTER value) {
  auto* env = Find<Environment>(handle, SQL_HANDLE_ENV);
  if (env == nullptr) return SQL_INVALID_HANDLE;
  env->diagnostics.clear();
  if (attribute == SQL_ATTR_ODBC_VERSION) {
    env->odbc_version = static_cast<SQLINTEGER>(IntegerOf(value));
  }
  return Finish(*env, nullptr,
                Named("SQLSetEnvAttr", attribute, IntegerOf(value)),
                SQL_SUCCESS);
}

SQLRETURN Server::GetEnvAttr(SQLHENV handle, SQLINTEGER attribute,
                             SQLPOINTER value, SQLINTEGER* length) {
  auto* env = Find<Environment>(handle, SQL_HANDLE_ENV);
  if (env == nullptr) return SQL_INVALID_HANDLE;
  env->diagnostics.clear();
  const SQLINTEGER answer =
      attribute == SQL_ATTR_ODBC_VERSION ? env->odbc_version : 0;
  if (value != nullptr) std::memcpy(value, &answer, sizeof answer);
  if (length != nullptr) *length = sizeof answer;
  return Finish(*env, nullptr, Named("SQLGetEnvAttr", attribute, answer),
                SQL_SUCCESS);
}

SQLRETURN Server::SetConnectAttr(Lock& lock, SQLHDBC handle,
                                 SQLINTEGER attribute, SQLPOINTER value,
                                 SQLINTEGER length) {
  auto* c = Find<Connection>(handle, SQL_HANDLE_DBC);
  if (c == nullptr) return SQL_INVALID_HANDLE;
  c->diagnostics.clear();
  Call call = Named("SQLSetConnectAttr", attribute);
  if (attribute == SQL_ATTR_CURRENT_CATALOG) {
    call.text = TextOf(static_cast<SQLCHAR*>(value), length);
  } else {
    call.value = IntegerOf(value);
  }
  auto fail = [&](const Failure& failure) {
    return Finish(*c, c, std::move(call), Fail(*c, c, failure));
  };
  // The attributes unixODBC replays at connect never fail; FailNext is for
  // what the application sets on a live connection.
  if (c->connected) {
    if (auto failure = TakeFailure("SQLSetConnectAttr")) return fail(*failure);
    if (attribute == SQL_ATTR_AUTOCOMMIT) {
      if (auto failure =
              Reach(lock, *c, c->Attribute(SQL_ATTR_CONNECTION_TIMEOUT))) {
        return fail(*failure);
      }
      if (auto failure = BackendAutocommit(
              lock, *c,
              static_cast<SQLULEN>(call.value) != SQL_AUTOCOMMIT_OFF)) {
        return fail(*failure);
      }
    }
  }
  if (attribute != SQL_ATTR_CURRENT_CATALOG) {
    c->attributes[attribute] = static_cast<SQLULEN>(call.value);
  }
  return Finish(*c, c, std::move(call), SQL_SUCCESS);
}

SQLRETURN Server::GetConnectAttr(SQLHDBC handle, SQLINTEGER attribute,
                                 SQLPOINTER value, SQLINTEGER /*buffer_length*/,
                                 SQLINTEGER* length) {
  auto* c = Find<Connection>(handle, SQL_HANDLE_DBC);
  if (c == nullptr) return SQL_INVALID_HANDLE;
  c->diagnostics.clear();
  SQLUINTEGER answer = 0;
  if (attribute == SQL_ATTR_CONNECTION_DEAD) {
    answer =
        c->dead || (c->cut && dead_known_at_once_) ? SQL_CD_TRUE : SQL_CD_FALSE;
  } else if (const auto it = c->attributes.find(attribute);
             it != c->attributes.end()) {
    answer = static_cast<SQLUINTEGER>(it->second);
  } else if (attribute == SQL_ATTR_AUTOCOMMIT) {
    answer = SQL_AUTOCOMMIT_ON;
  }
  if (value != nullptr) std::memcpy(value, &answer, sizeof answer);
  if (length != nullptr) *length = sizeof answer;
  return Finish(*c, c, Named("SQLGetConnectAttr", attribute, answer),
                SQL_SUCCESS);
}

SQLRETURN Server::SetStmtAttr(SQLHSTMT handle, SQLINTEGER attribute,
                              SQLPOINTER value) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  Call call = Named("SQLSetStmtAttr", attribute, IntegerOf(value));
  if (attribute == SQL_ATTR_ROW_ARRAY_SIZE && call.value < 1) {
    return Finish(*stmt, stmt->connection, std::move(call),
                  Fail(*stmt, nullptr, {"HY024", "Invalid attribute value"}));
  }
  stmt->attributes[attribute] = static_cast<SQLULEN>(call.value);
  return Finish(*stmt, stmt->connection, std::move(call), SQL_SUCCESS);
}

SQLRETURN Server::GetStmtAttr(SQLHSTMT handle, SQLINTEGER attribute,
                              SQLPOINTER value, SQLINTEGER* length) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  Call call = Named("SQLGetStmtAttr", attribute);
  if (attribute >= SQL_ATTR_APP_ROW_DESC &&
      attribute <= SQL_ATTR_IMP_PARAM_DESC) {
    void* descriptor = &stmt->descriptors[attribute - SQL_ATTR_APP_ROW_DESC];
    if (value != nullptr) std::memcpy(value, &descriptor, sizeof descriptor);
    if (length != nullptr) *length = sizeof descriptor;
  } else {
    const SQLULEN answer = stmt->Attribute(
        attribute, attribute == SQL_ATTR_ROW_ARRAY_SIZE ? 1 : 0);
    call.value = static_cast<long long>(answer);
    if (value != nullptr) std::memcpy(value, &answer, sizeof answer);
    if (length != nullptr) *length = sizeof answer;
  }
  return Finish(*stmt, stmt->connection, std::move(call), SQL_SUCCESS);
}

}  // namespace norvessa::testing::scripted
