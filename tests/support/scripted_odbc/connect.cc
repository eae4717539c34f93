// Connecting and disconnecting, what the driver tells of itself, and the
// end of transactions.

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <utility>

#include "support/scripted_odbc/driver_support.h"
#include "support/scripted_odbc/scripted_driver.h"
#include "support/scripted_odbc/text_codec.h"

namespace norvessa::testing::scripted {
namespace {

// DRIVER={...};SERVER=...: keys in upper case, braced values unescaped.
std::map<std::string, std::string> ParseConnectionString(std::string_view s) {
  std::map<std::string, std::string> pairs;
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t equals = s.find('=', i);
    if (equals == std::string_view::npos) break;
    std::string key(Trim(s.substr(i, equals - i)));
    for (char& c : key) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    i = equals + 1;
    std::string value;
    if (i < s.size() && s[i] == '{') {
      for (++i; i < s.size(); ++i) {
        if (s[i] == '}') {
          if (i + 1 < s.size() && s[i + 1] == '}') {
            value += '}';
            ++i;
          } else {
            ++i;
            break;
          }
        } else {
          value += s[i];
        }
      }
      i = std::min(s.find(';', i), s.size());
    } else {
      const std::size_t end = std::min(s.find(';', i), s.size());
      value = std::string(Trim(s.substr(i, end - i)));
      i = end;
    }
    pairs[key] = std::move(value);
    if (i < s.size()) ++i;
  }
  return pairs;
}

constexpr SQLUSMALLINT kSupportedFunctions[] = {
    SQL_API_SQLALLOCHANDLE,    SQL_API_SQLFREEHANDLE,
    SQL_API_SQLSETENVATTR,     SQL_API_SQLGETENVATTR,
    SQL_API_SQLSETCONNECTATTR, SQL_API_SQLGETCONNECTATTR,
    SQL_API_SQLDRIVERCONNECT,  SQL_API_SQLDISCONNECT,
    SQL_API_SQLGETINFO,        SQL_API_SQLGETFUNCTIONS,
    SQL_API_SQLENDTRAN,        SQL_API_SQLSETSTMTATTR,
    SQL_API_SQLGETSTMTATTR,    SQL_API_SQLBINDPARAMETER,
    SQL_API_SQLEXECDIRECT,     SQL_API_SQLNUMRESULTCOLS,
    SQL_API_SQLDESCRIBECOL,    SQL_API_SQLFETCH,
    SQL_API_SQLGETDATA,        SQL_API_SQLMORERESULTS,
    SQL_API_SQLROWCOUNT,       SQL_API_SQLFREESTMT,
    SQL_API_SQLCLOSECURSOR,    SQL_API_SQLCANCEL,
    SQL_API_SQLGETDIAGREC,     SQL_API_SQLGETDIAGFIELD,
    SQL_API_SQLPREPARE,        SQL_API_SQLEXECUTE,
    SQL_API_SQLNUMPARAMS,      SQL_API_SQLBINDCOL,
    SQL_API_SQLSETPOS,
};

}  // namespace

SQLRETURN Server::DriverConnect(Lock& lock, SQLHDBC handle, SQLCHAR* in,
                                SQLSMALLINT in_length, SQLCHAR* out,
                                SQLSMALLINT out_max, SQLSMALLINT* out_length) {
  auto* c = Find<Connection>(handle, SQL_HANDLE_DBC);
  if (c == nullptr) return SQL_INVALID_HANDLE;
  c->diagnostics.clear();
  Call call = Named("SQLDriverConnect");
  call.text = TextOf(in, in_length);
  ++connect_attempts_;
  if (c->connected) {
    return Finish(*c, c, std::move(call),
                  Fail(*c, nullptr, {"08002", "Connection name in use"}));
  }
  const auto pairs = ParseConnectionString(call.text);
  const auto driver = pairs.find("DRIVER");
  // unixODBC finds a driver's section by its name in any case.
  const bool freetds =
      personality_ == ScriptPersonality::kByName
          ? driver != pairs.end() &&
                ContainsIgnoringAsciiCase(driver->second, "FreeTDS")
          : personality_ == ScriptPersonality::kFreeTds;
  c->personality = freetds ? Personality::kFreeTds : Personality::kMicrosoft;
  // FreeTDS encrypts only when told to require it; Driver 18 unless told
  // not to.
  auto value = [&pairs](const char* key) {
    const auto it = pairs.find(key);
    return it == pairs.end() ? std::string() : it->second;
  };
  c->encrypted = freetds
                     ? EqualsIgnoringAsciiCase(value("ENCRYPTION"), "require")
                     : !(EqualsIgnoringAsciiCase(value("ENCRYPT"), "no") ||
                         EqualsIgnoringAsciiCase(value("ENCRYPT"), "false") ||
                         EqualsIgnoringAsciiCase(value("ENCRYPT"), "optional"));
  auto fail = [&](const Failure& failure) {
    return Finish(*c, c, std::move(call), Fail(*c, nullptr, failure));
  };
  PollControl();
  if (auto failure = TakeFailure("SQLDriverConnect")) return fail(*failure);
  if (auto failure = AwaitNetwork(lock, *c)) return fail(*failure);
  if (!reachable_) {
    return fail({"08001",
                 "Unable to connect: Adaptive Server is unavailable or does "
                 "not exist"});
  }
  if (auto failure = OpenBackend(lock, *c)) return fail(*failure);
  const auto server = pairs.find("SERVER");
  c->server_name = server != pairs.end() ? server->second : "";
  c->connected = true;
  c->cut = false;
  c->half_open = false;
  c->dead = false;
  c->nocount = false;
  c->serial = ++next_serial_;
  for (std::size_t index : c->calls_before_connect) {
    if (index < calls_.size()) calls_[index].connection = c->serial;
  }
  c->calls_before_connect.clear();
  SQLRETURN rc = SQL_SUCCESS;
  if (out_length != nullptr) {
    *out_length = static_cast<SQLSMALLINT>(call.text.size());
  }
  if (out != nullptr && CopyOut(call.text, out, out_max)) {
    Diagnose(*c, "01004", "String data, right truncated");
    rc = SQL_SUCCESS_WITH_INFO;
  }
  return Finish(*c, c, std::move(call), rc);
}

SQLRETURN Server::Disconnect(SQLHDBC handle) {
  auto* c = Find<Connection>(handle, SQL_HANDLE_DBC);
  if (c == nullptr) return SQL_INVALID_HANDLE;
  c->diagnostics.clear();
  Call call = Named("SQLDisconnect");
  if (!c->connected) {
    return Finish(*c, c, std::move(call),
                  Fail(*c, nullptr, {"08003", "Connection not open"}));
  }
  if (auto failure = TakeFailure("SQLDisconnect")) {
    return Finish(*c, c, std::move(call), Fail(*c, c, *failure));
  }
  // Disconnecting frees the connection's statements; the Driver Manager
  // only forgets its own.
  std::erase_if(handles_, [&](const auto& entry) {
    return entry.second->type == SQL_HANDLE_STMT &&
           static_cast<const Statement&>(*entry.second).connection == c;
  });
  c->connected = false;
  c->cut = false;
  c->half_open = false;
  c->dead = false;
  CloseBackend(*c);
  return Finish(*c, c, std::move(call), SQL_SUCCESS);
}

SQLRETURN Server::GetInfo(SQLHDBC handle, SQLUSMALLINT info, SQLPOINTER value,
                          SQLSMALLINT buffer_length, SQLSMALLINT* length) {
  auto* c = Find<Connection>(handle, SQL_HANDLE_DBC);
  if (c == nullptr) return SQL_INVALID_HANDLE;
  c->diagnostics.clear();
  Call call = Named("SQLGetInfo", info);
  const bool freetds = c->personality == Personality::kFreeTds;
  auto text = [&](std::string_view answer) {
    call.text = std::string(answer);
    if (length != nullptr) *length = static_cast<SQLSMALLINT>(answer.size());
    if (CopyOut(answer, value, buffer_length)) {
      Diagnose(*c, "01004", "String data, right truncated");
      return SQL_SUCCESS_WITH_INFO;
    }
    return SQL_SUCCESS;
  };
  auto number = [&](auto answer) {
    call.value = answer;
    if (value != nullptr) std::memcpy(value, &answer, sizeof answer);
    if (length != nullptr) *length = sizeof answer;
    return SQL_SUCCESS;
  };
  SQLRETURN rc;
  switch (info) {
    case SQL_DRIVER_ODBC_VER:
      rc = text("03.52");
      break;
    case SQL_ODBC_VER:
      rc = text("03.52.0000");
      break;
    case SQL_XOPEN_CLI_YEAR:
      rc = text("1995");
      break;
    case SQL_DRIVER_NAME:
      rc = text(freetds ? "libtdsodbc.so" : "libmsodbcsql-18.3.so.3.1");
      break;
    case SQL_DRIVER_VER:
      rc = text(freetds ? "01.03.0017" : "18.03.0003");
      break;
    case SQL_DBMS_NAME:
      rc = text("Microsoft SQL Server");
      break;
    case SQL_DBMS_VER:
      rc = text("16.00.1000");
      break;
    case SQL_SERVER_NAME:
      rc = text(c->server_name);
      break;
    case SQL_DATA_SOURCE_NAME:
    case SQL_USER_NAME:
      rc = text("");
      break;
    case SQL_GETDATA_EXTENSIONS:
      rc = number(GetDataExtensions(c->personality));
      break;
    case SQL_STATIC_CURSOR_ATTRIBUTES1:
      rc = number(static_cast<SQLUINTEGER>(SQL_CA1_NEXT));
      break;
    case SQL_CURSOR_COMMIT_BEHAVIOR:
    case SQL_CURSOR_ROLLBACK_BEHAVIOR:
      rc = number(static_cast<SQLUSMALLINT>(SQL_CB_CLOSE));
      break;
    case SQL_TXN_CAPABLE:
      rc = number(static_cast<SQLUSMALLINT>(SQL_TC_ALL));
      break;
    case SQL_MAX_CONCURRENT_ACTIVITIES:
      rc = number(static_cast<SQLUSMALLINT>(1));
      break;
    default:
      rc = Fail(*c, nullptr, {"HY096", "Information type out of range"});
      break;
  }
  return Finish(*c, c, std::move(call), rc);
}

SQLRETURN Server::GetFunctions(SQLHDBC handle, SQLUSMALLINT function,
                               SQLUSMALLINT* supported) {
  auto* c = Find<Connection>(handle, SQL_HANDLE_DBC);
  if (c == nullptr) return SQL_INVALID_HANDLE;
  c->diagnostics.clear();
  if (supported != nullptr) {
    if (function == SQL_API_ODBC3_ALL_FUNCTIONS) {
      std::fill_n(supported, SQL_API_ODBC3_ALL_FUNCTIONS_SIZE, 0);
      for (SQLUSMALLINT id : kSupportedFunctions) {
        supported[id >> 4] |= static_cast<SQLUSMALLINT>(1 << (id & 0xF));
      }
    } else if (function == SQL_API_ALL_FUNCTIONS) {
      std::fill_n(supported, 100, SQL_FALSE);
      for (SQLUSMALLINT id : kSupportedFunctions) {
        if (id < 100) supported[id] = SQL_TRUE;
      }
    } else {
      *supported = std::find(std::begin(kSupportedFunctions),
                             std::end(kSupportedFunctions),
                             function) != std::end(kSupportedFunctions)
                       ? SQL_TRUE
                       : SQL_FALSE;
    }
  }
  return Finish(*c, c, Named("SQLGetFunctions", function), SQL_SUCCESS);
}

SQLRETURN Server::EndTran(Lock& lock, SQLSMALLINT type, SQLHANDLE handle,
                          SQLSMALLINT completion) {
  Call call = Named("SQLEndTran", type, completion);
  if (type == SQL_HANDLE_ENV) {
    auto* env = Find<Environment>(handle, SQL_HANDLE_ENV);
    if (env == nullptr) return SQL_INVALID_HANDLE;
    env->diagnostics.clear();
    return Finish(*env, nullptr, std::move(call), SQL_SUCCESS);
  }
  auto* c = Find<Connection>(handle, SQL_HANDLE_DBC);
  if (c == nullptr) return SQL_INVALID_HANDLE;
  c->diagnostics.clear();
  auto fail = [&](const Failure& failure) {
    return Finish(*c, c, std::move(call), Fail(*c, c, failure));
  };
  if (auto failure = TakeFailure("SQLEndTran")) return fail(*failure);
  if (auto failure =
          Reach(lock, *c, c->Attribute(SQL_ATTR_CONNECTION_TIMEOUT))) {
    return fail(*failure);
  }
  if (auto failure = BackendEndTran(lock, *c, completion == SQL_COMMIT)) {
    return fail(*failure);
  }
  return Finish(*c, c, std::move(call), SQL_SUCCESS);
}

}  // namespace norvessa::testing::scripted
