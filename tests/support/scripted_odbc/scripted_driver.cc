#include "support/scripted_odbc/scripted_driver.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <utility>

#include "support/scripted_odbc/text_codec.h"

namespace norvessa::testing::scripted {
namespace {

constexpr std::string_view kMessagePrefix = "[Scripted][SQL Server]";

Call Named(std::string function, long attribute = 0, long long value = 0) {
  Call call;
  call.function = std::move(function);
  call.attribute = attribute;
  call.value = value;
  return call;
}

long long IntegerOf(SQLPOINTER value) {
  return static_cast<long long>(reinterpret_cast<std::intptr_t>(value));
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' ||
                        s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' ||
                        s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

std::string TextOf(const SQLCHAR* text, SQLLEN length) {
  if (text == nullptr) return {};
  const char* s = reinterpret_cast<const char*>(text);
  return length == SQL_NTS
             ? std::string(s)
             : std::string(
                   s, static_cast<std::size_t>(std::max<SQLLEN>(length, 0)));
}

// Copies `text` and its terminator into `out` as far as `capacity` allows;
// true when it had to cut.
bool CopyOut(std::string_view text, void* out, SQLLEN capacity) {
  if (out == nullptr) return false;
  if (capacity <= 0) return true;
  const std::size_t n =
      std::min(text.size(), static_cast<std::size_t>(capacity - 1));
  std::memcpy(out, text.data(), n);
  static_cast<char*>(out)[n] = '\0';
  return n < text.size();
}

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

bool IsNarrowSqlType(SQLSMALLINT sql_type) {
  return sql_type == SQL_CHAR || sql_type == SQL_VARCHAR ||
         sql_type == SQL_LONGVARCHAR;
}

// Narrow text the application sends, as the server receives it (UTF-8).
std::u32string NarrowIn(const Connection& c, std::string_view bytes) {
  return c.personality == Personality::kFreeTds ? DecodeUtf8(bytes)
                                                : DecodeLocale(bytes);
}

// Server text (UTF-8) as the application reads it through SQL_C_CHAR.
std::string NarrowOut(const Connection& c, std::string_view utf8) {
  if (c.personality == Personality::kFreeTds) return std::string(utf8);
  return EncodeLocale(DecodeUtf8(utf8));
}

std::string ToText(double v) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
  return std::string(buffer, result.ptr);
}

template <typename T>
T Load(const std::string& bytes) {
  T v{};
  std::memcpy(&v, bytes.data(), std::min(bytes.size(), sizeof v));
  return v;
}

std::size_t FixedSize(SQLSMALLINT c_type) {
  switch (c_type) {
    case SQL_C_SBIGINT:
    case SQL_C_UBIGINT:
    case SQL_C_DOUBLE:
      return 8;
    case SQL_C_SLONG:
    case SQL_C_ULONG:
    case SQL_C_LONG:
    case SQL_C_FLOAT:
      return 4;
    case SQL_C_SSHORT:
    case SQL_C_USHORT:
    case SQL_C_SHORT:
      return 2;
    case SQL_C_STINYINT:
    case SQL_C_UTINYINT:
    case SQL_C_TINYINT:
    case SQL_C_BIT:
      return 1;
    case SQL_C_TYPE_TIMESTAMP:
      return sizeof(SQL_TIMESTAMP_STRUCT);
    case SQL_C_TYPE_DATE:
      return sizeof(SQL_DATE_STRUCT);
    default:
      return 0;
  }
}

// The text the server makes of a fixed-size C value.
std::string RenderFixed(SQLSMALLINT c_type, const std::string& bytes,
                        int digits) {
  switch (c_type) {
    case SQL_C_SBIGINT:
      return std::to_string(Load<std::int64_t>(bytes));
    case SQL_C_UBIGINT:
      return std::to_string(Load<std::uint64_t>(bytes));
    case SQL_C_SLONG:
    case SQL_C_LONG:
      return std::to_string(Load<std::int32_t>(bytes));
    case SQL_C_ULONG:
      return std::to_string(Load<std::uint32_t>(bytes));
    case SQL_C_SSHORT:
    case SQL_C_SHORT:
      return std::to_string(Load<std::int16_t>(bytes));
    case SQL_C_USHORT:
      return std::to_string(Load<std::uint16_t>(bytes));
    case SQL_C_STINYINT:
    case SQL_C_TINYINT:
      return std::to_string(Load<std::int8_t>(bytes));
    case SQL_C_UTINYINT:
      return std::to_string(Load<std::uint8_t>(bytes));
    case SQL_C_BIT:
      return Load<std::uint8_t>(bytes) != 0 ? "1" : "0";
    case SQL_C_DOUBLE:
      return ToText(Load<double>(bytes));
    case SQL_C_FLOAT:
      return ToText(Load<float>(bytes));
    case SQL_C_TYPE_DATE: {
      const auto d = Load<SQL_DATE_STRUCT>(bytes);
      char text[32];
      std::snprintf(text, sizeof text, "%04d-%02u-%02u", d.year, d.month,
                    d.day);
      return text;
    }
    case SQL_C_TYPE_TIMESTAMP: {
      const auto t = Load<SQL_TIMESTAMP_STRUCT>(bytes);
      char text[64];
      std::snprintf(text, sizeof text, "%04d-%02u-%02u %02u:%02u:%02u", t.year,
                    t.month, t.day, t.hour, t.minute, t.second);
      std::string out = text;
      // As many fractional digits as the parameter declares.
      digits = std::clamp(digits, 0, 9);
      if (digits > 0) {
        std::snprintf(text, sizeof text, "%09u", t.fraction);
        out += '.';
        out.append(text, static_cast<std::size_t>(digits));
      }
      return out;
    }
    default:
      return {};
  }
}

// yyyy-mm-dd[( |T)hh:mm:ss[.fffffffff]]
bool ParseTimestamp(std::string_view s, SQL_TIMESTAMP_STRUCT& ts) {
  s = Trim(s);
  std::size_t i = 0;
  auto number = [&](std::size_t digits, int& out) {
    if (i + digits > s.size()) return false;
    out = 0;
    for (std::size_t k = 0; k < digits; ++k, ++i) {
      if (s[i] < '0' || s[i] > '9') return false;
      out = out * 10 + (s[i] - '0');
    }
    return true;
  };
  auto expect = [&](char c) { return i < s.size() && s[i++] == c; };
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!number(4, year) || !expect('-') || !number(2, month) || !expect('-') ||
      !number(2, day)) {
    return false;
  }
  unsigned fraction = 0;
  if (i < s.size()) {
    if (s[i] != ' ' && s[i] != 'T') return false;
    ++i;
    if (!number(2, hour) || !expect(':') || !number(2, minute) ||
        !expect(':') || !number(2, second)) {
      return false;
    }
    if (i < s.size()) {
      if (!expect('.')) return false;
      std::size_t digits = 0;
      for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, ++digits) {
        if (digits < 9) fraction = fraction * 10 + (s[i] - '0');
      }
      if (digits == 0 || i != s.size()) return false;
      for (; digits < 9; ++digits) fraction *= 10;
    }
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
      minute > 59 || second > 59) {
    return false;
  }
  ts.year = static_cast<SQLSMALLINT>(year);
  ts.month = static_cast<SQLUSMALLINT>(month);
  ts.day = static_cast<SQLUSMALLINT>(day);
  ts.hour = static_cast<SQLUSMALLINT>(hour);
  ts.minute = static_cast<SQLUSMALLINT>(minute);
  ts.second = static_cast<SQLUSMALLINT>(second);
  ts.fraction = fraction;
  return true;
}

std::optional<double> ParseDouble(std::string_view s) {
  s = Trim(s);
  double v = 0;
  const auto result = std::from_chars(s.data(), s.data() + s.size(), v);
  if (result.ec != std::errc() || result.ptr != s.data() + s.size()) {
    return std::nullopt;
  }
  return v;
}

// A whole number; `fraction_lost` when text with decimals was cut.
std::optional<long long> ParseWhole(std::string_view s, bool& fraction_lost) {
  s = Trim(s);
  fraction_lost = false;
  long long v = 0;
  const auto result = std::from_chars(s.data(), s.data() + s.size(), v);
  if (result.ec == std::errc() && result.ptr == s.data() + s.size()) return v;
  const auto d = ParseDouble(s);
  if (!d || !std::isfinite(*d) || std::fabs(*d) >= 9.2e18) return std::nullopt;
  fraction_lost = std::trunc(*d) != *d;
  return static_cast<long long>(std::trunc(*d));
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
};

}  // namespace

Server& Server::Instance() {
  static Server server;
  return server;
}

// --- What tests call -------------------------------------------------------

void Server::Reset() {
  std::lock_guard lock(mutex_);
  answers_.clear();
  calls_.clear();
  failures_.clear();
  reachable_ = true;
  dead_known_at_once_ = false;
  piece_bytes_ = 0;
  next_serial_ = 0;
  connect_attempts_ = 0;
  for (auto& [key, handle] : handles_) {
    if (handle->type == SQL_HANDLE_DBC) {
      static_cast<Connection&>(*handle).calls_before_connect.clear();
    }
  }
}

void Server::Answer(ScriptAnswer answer) {
  std::lock_guard lock(mutex_);
  answers_.push_back(std::move(answer));
}

void Server::SetReachable(bool reachable) {
  std::lock_guard lock(mutex_);
  reachable_ = reachable;
}

void Server::Restart() {
  std::lock_guard lock(mutex_);
  for (auto& [key, handle] : handles_) {
    if (handle->type != SQL_HANDLE_DBC) continue;
    auto& c = static_cast<Connection&>(*handle);
    if (c.connected) c.cut = true;
  }
}

void Server::SetDeadKnownAtOnce(bool at_once) {
  std::lock_guard lock(mutex_);
  dead_known_at_once_ = at_once;
}

void Server::FailNext(std::string function, std::string sqlstate,
                      std::string message, bool kills_connection) {
  std::lock_guard lock(mutex_);
  failures_[std::move(function)].push_back(
      {std::move(sqlstate), std::move(message), kills_connection});
}

void Server::SetPieceBytes(std::size_t n) {
  std::lock_guard lock(mutex_);
  piece_bytes_ = n;
}

std::vector<Call> Server::Calls() {
  std::lock_guard lock(mutex_);
  return calls_;
}

int Server::ConnectAttempts() {
  std::lock_guard lock(mutex_);
  return connect_attempts_;
}

int Server::OpenConnections() {
  std::lock_guard lock(mutex_);
  return static_cast<int>(
      std::count_if(handles_.begin(), handles_.end(), [](const auto& entry) {
        return entry.second->type == SQL_HANDLE_DBC &&
               static_cast<const Connection&>(*entry.second).connected;
      }));
}

// --- Helpers ---------------------------------------------------------------

Handle* Server::FindAny(SQLSMALLINT type, SQLHANDLE handle) {
  return Find<Handle>(handle, type);
}

SQLRETURN Server::Finish(Handle& handle, Connection* connection, Call call,
                         SQLRETURN rc) {
  handle.rc = rc;
  call.rc = rc;
  call.connection = connection != nullptr ? connection->serial : 0;
  if (connection != nullptr && connection->serial == 0) {
    connection->calls_before_connect.push_back(calls_.size());
  }
  calls_.push_back(std::move(call));
  return rc;
}

void Server::Diagnose(Handle& handle, std::string sqlstate,
                      std::string_view message) {
  handle.diagnostics.push_back(
      {std::move(sqlstate),
       std::string(kMessagePrefix) + std::string(message)});
}

SQLRETURN Server::Fail(Handle& handle, Connection* connection,
                       const Failure& failure) {
  Diagnose(handle, failure.sqlstate, failure.message);
  if (failure.kills_connection && connection != nullptr) {
    connection->dead = true;
  }
  return SQL_ERROR;
}

std::optional<Failure> Server::TakeFailure(std::string_view function) {
  const auto it = failures_.find(function);
  if (it == failures_.end()) return std::nullopt;
  Failure failure = std::move(it->second.front());
  it->second.pop_front();
  if (it->second.empty()) failures_.erase(it);
  return failure;
}

std::optional<Failure> Server::Reach(Connection& connection) {
  if (connection.cut) {
    connection.cut = false;
    connection.dead = true;
  }
  if (connection.dead) {
    return Failure{"08S01", "Communication link failure", true};
  }
  return std::nullopt;
}

// --- Handles and attributes ------------------------------------------------

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

SQLRETURN Server::SetConnectAttr(SQLHDBC handle, SQLINTEGER attribute,
                                 SQLPOINTER value, SQLINTEGER length) {
  auto* c = Find<Connection>(handle, SQL_HANDLE_DBC);
  if (c == nullptr) return SQL_INVALID_HANDLE;
  c->diagnostics.clear();
  Call call = Named("SQLSetConnectAttr", attribute);
  if (attribute == SQL_ATTR_CURRENT_CATALOG) {
    call.text = TextOf(static_cast<SQLCHAR*>(value), length);
  } else {
    call.value = IntegerOf(value);
  }
  // The attributes unixODBC replays at connect never fail; FailNext is for
  // what the application sets on a live connection.
  if (c->connected) {
    if (auto failure = TakeFailure("SQLSetConnectAttr")) {
      return Finish(*c, c, std::move(call), Fail(*c, c, *failure));
    }
    if (attribute == SQL_ATTR_AUTOCOMMIT) {
      if (auto failure = Reach(*c)) {
        return Finish(*c, c, std::move(call), Fail(*c, c, *failure));
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

SQLRETURN Server::DriverConnect(SQLHDBC handle, SQLCHAR* in,
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
  if (auto failure = TakeFailure("SQLDriverConnect")) {
    return Finish(*c, c, std::move(call), Fail(*c, nullptr, *failure));
  }
  if (!reachable_) {
    return Finish(*c, c, std::move(call),
                  Fail(*c, nullptr,
                       {"08001",
                        "Unable to connect: Adaptive Server is unavailable or "
                        "does not exist"}));
  }
  const auto pairs = ParseConnectionString(call.text);
  const auto driver = pairs.find("DRIVER");
  c->personality = driver != pairs.end() &&
                           driver->second.find("FreeTDS") != std::string::npos
                       ? Personality::kFreeTds
                       : Personality::kMicrosoft;
  const auto server = pairs.find("SERVER");
  c->server_name = server != pairs.end() ? server->second : "";
  c->connected = true;
  c->cut = false;
  c->dead = false;
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
  c->dead = false;
  return Finish(*c, c, std::move(call), SQL_SUCCESS);
}

SQLRETURN Server::GetInfo(SQLHDBC handle, SQLUSMALLINT info, SQLPOINTER value,
                          SQLSMALLINT buffer_length, SQLSMALLINT* length) {
  auto* c = Find<Connection>(handle, SQL_HANDLE_DBC);
  if (c == nullptr) return SQL_INVALID_HANDLE;
  c->diagnostics.clear();
  Call call = Named("SQLGetInfo", info);
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
      rc = text("libscripted_odbc.so");
      break;
    case SQL_DRIVER_VER:
      rc = text("01.00.0000");
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
      rc = number(
          static_cast<SQLUINTEGER>(SQL_GD_ANY_COLUMN | SQL_GD_ANY_ORDER));
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

SQLRETURN Server::EndTran(SQLSMALLINT type, SQLHANDLE handle,
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
  if (auto failure = TakeFailure("SQLEndTran")) {
    return Finish(*c, c, std::move(call), Fail(*c, c, *failure));
  }
  if (auto failure = Reach(*c)) {
    return Finish(*c, c, std::move(call), Fail(*c, c, *failure));
  }
  return Finish(*c, c, std::move(call), SQL_SUCCESS);
}

SQLRETURN Server::SetStmtAttr(SQLHSTMT handle, SQLINTEGER attribute,
                              SQLPOINTER value) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  stmt->attributes[attribute] = static_cast<SQLULEN>(IntegerOf(value));
  return Finish(*stmt, stmt->connection,
                Named("SQLSetStmtAttr", attribute, IntegerOf(value)),
                SQL_SUCCESS);
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
    const auto it = stmt->attributes.find(attribute);
    const SQLULEN answer = it != stmt->attributes.end() ? it->second : 0;
    call.value = static_cast<long long>(answer);
    if (value != nullptr) std::memcpy(value, &answer, sizeof answer);
    if (length != nullptr) *length = sizeof answer;
  }
  return Finish(*stmt, stmt->connection, std::move(call), SQL_SUCCESS);
}

// --- Statements ------------------------------------------------------------

SQLRETURN Server::BindParameter(SQLHSTMT handle, SQLUSMALLINT number,
                                SQLSMALLINT direction, SQLSMALLINT c_type,
                                SQLSMALLINT sql_type, SQLULEN column_size,
                                SQLSMALLINT digits, SQLPOINTER value,
                                SQLLEN buffer_length, SQLLEN* indicator) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  Call call = Named("SQLBindParameter", number, c_type);
  if (number < 1) {
    return Finish(*stmt, stmt->connection, std::move(call),
                  Fail(*stmt, nullptr, {"07009", "Invalid descriptor index"}));
  }
  if (direction != SQL_PARAM_INPUT) {
    return Finish(
        *stmt, stmt->connection, std::move(call),
        Fail(*stmt, nullptr, {"HYC00", "Optional feature not implemented"}));
  }
  stmt->parameters[number] = {c_type, sql_type,      column_size, digits,
                              value,  buffer_length, indicator};
  return Finish(*stmt, stmt->connection, std::move(call), SQL_SUCCESS);
}

std::optional<Failure> Server::ReadParameter(const Connection& c,
                                             SQLUSMALLINT number,
                                             const Parameter& p,
                                             BoundParam& out) const {
  out.number = number;
  out.c_type = p.c_type;
  out.sql_type = p.sql_type;
  out.column_size = p.column_size;
  out.decimal_digits = p.digits;
  out.buffer_length = p.buffer_length;
  const SQLLEN indicator = p.indicator != nullptr ? *p.indicator : SQL_NTS;
  out.indicator = indicator;
  if (indicator == SQL_NULL_DATA) return std::nullopt;
  if (indicator == SQL_DATA_AT_EXEC ||
      indicator <= SQL_LEN_DATA_AT_EXEC_OFFSET) {
    return Failure{"HYC00", "Data at execution is not supported"};
  }
  const auto* data = static_cast<const char*>(p.value);
  auto length = [&](std::size_t natural) {
    return data == nullptr  ? 0
           : indicator >= 0 ? static_cast<std::size_t>(indicator)
                            : natural;
  };
  const bool narrow_column = IsNarrowSqlType(p.sql_type);
  switch (p.c_type) {
    case SQL_C_CHAR: {
      if (data != nullptr) out.bytes.assign(data, length(std::strlen(data)));
      std::u32string text = NarrowIn(c, out.bytes);
      if (narrow_column) {
        if (c.personality == Personality::kFreeTds &&
            !std::all_of(text.begin(), text.end(), InWindows1252)) {
          // FreeTDS gives up in the middle of the packet: the statement
          // fails and the connection is lost with it.
          return Failure{"HY000",
                         "Error converting characters into server's "
                         "character set. Some character(s) could not be "
                         "converted",
                         true};
        }
        text = FitWindows1252(text);
      }
      out.value = EncodeUtf8(text);
      return std::nullopt;
    }
    case SQL_C_WCHAR: {
      std::size_t units = length(0) / 2;
      if (indicator == SQL_NTS && data != nullptr) {
        std::uint16_t unit = 0;
        while (std::memcpy(&unit, data + 2 * units, 2), unit != 0) ++units;
      }
      if (data != nullptr) out.bytes.assign(data, 2 * units);
      std::vector<std::uint16_t> code_units(units);
      if (units > 0) std::memcpy(code_units.data(), data, 2 * units);
      std::u32string text = DecodeUtf16(code_units.data(), units);
      if (narrow_column) text = FitWindows1252(text);
      out.value = EncodeUtf8(text);
      return std::nullopt;
    }
    case SQL_C_BINARY:
      if (data != nullptr) {
        out.bytes.assign(data, length(static_cast<std::size_t>(
                                   std::max<SQLLEN>(p.buffer_length, 0))));
      }
      out.value = out.bytes;
      return std::nullopt;
    default: {
      const std::size_t size = FixedSize(p.c_type);
      if (size == 0 || data == nullptr) {
        return Failure{"HYC00", "Parameter type is not supported"};
      }
      out.bytes.assign(data, size);
      out.value = RenderFixed(p.c_type, out.bytes, p.digits);
      return std::nullopt;
    }
  }
}

std::vector<ScriptResult> Server::AnswerFor(std::string_view text) {
  for (ScriptAnswer& answer : answers_) {
    if (answer.times == 0 || !ContainsIgnoringAsciiCase(text, answer.match)) {
      continue;
    }
    if (answer.times > 0) --answer.times;
    return answer.results;
  }
  if (EqualsIgnoringAsciiCase(Trim(text), "SELECT 1")) {
    return {Rows({{"", SQL_INTEGER, 10, 0}}, {{"1"}})};
  }
  return {};
}

namespace {

// A program in another process (the service started by a test) is seen
// through a file: with SCRIPTED_ODBC_TRACE set, every statement as the
// server received it is appended to it, one line each, line breaks as
// "\n".
void TraceStatement(const std::string& text) {
  const char* path = std::getenv("SCRIPTED_ODBC_TRACE");
  if (path == nullptr || *path == '\0') return;
  std::string line;
  for (char ch : text) {
    if (ch == '\n') {
      line += "\\n";
    } else {
      line += ch;
    }
  }
  line += '\n';
  if (FILE* f = std::fopen(path, "a")) {
    std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
  }
}

}  // namespace

SQLRETURN Server::ExecDirect(SQLHSTMT handle, SQLCHAR* text,
                             SQLINTEGER length) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  stmt->results.clear();
  stmt->current = 0;
  stmt->row = -1;
  stmt->data_column = 0;
  Connection& c = *stmt->connection;
  Call call = Named("SQLExecDirect");
  call.text = EncodeUtf8(NarrowIn(c, TextOf(text, length)));
  TraceStatement(call.text);
  std::optional<Failure> conversion;
  for (const auto& [number, parameter] : stmt->parameters) {
    BoundParam& param = call.params.emplace_back();
    auto failure = ReadParameter(c, number, parameter, param);
    if (failure && !conversion) conversion = std::move(failure);
  }
  auto fail = [&](const Failure& failure) {
    return Finish(*stmt, &c, std::move(call), Fail(*stmt, &c, failure));
  };
  if (auto failure = TakeFailure("SQLExecDirect")) return fail(*failure);
  if (auto failure = Reach(c)) return fail(*failure);
  if (conversion) return fail(*conversion);

  stmt->results = AnswerFor(call.text);
  if (stmt->results.empty()) {
    return Finish(*stmt, &c, std::move(call), SQL_SUCCESS);
  }
  const ScriptResult& first = stmt->results.front();
  if (first.kind == ScriptResult::Kind::kError) {
    const Failure failure{first.sqlstate, first.message,
                          first.kills_connection};
    if (failure.kills_connection) stmt->results.resize(1);
    return fail(failure);
  }
  if (stmt->results.size() == 1 && first.kind == ScriptResult::Kind::kCount &&
      first.count == 0) {
    return Finish(*stmt, &c, std::move(call), SQL_NO_DATA);
  }
  return Finish(*stmt, &c, std::move(call), SQL_SUCCESS);
}

SQLRETURN Server::NumResultCols(SQLHSTMT handle, SQLSMALLINT* count) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  const ScriptResult* r = stmt->Current();
  const auto columns = static_cast<SQLSMALLINT>(
      r != nullptr && r->kind == ScriptResult::Kind::kRows ? r->columns.size()
                                                           : 0);
  if (count != nullptr) *count = columns;
  return Finish(*stmt, stmt->connection, Named("SQLNumResultCols", 0, columns),
                SQL_SUCCESS);
}

SQLRETURN Server::DescribeCol(SQLHSTMT handle, SQLUSMALLINT column,
                              SQLCHAR* name, SQLSMALLINT buffer_length,
                              SQLSMALLINT* name_length, SQLSMALLINT* sql_type,
                              SQLULEN* size, SQLSMALLINT* digits,
                              SQLSMALLINT* nullable) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  Call call = Named("SQLDescribeCol", column);
  const ScriptResult* r = stmt->Current();
  if (r == nullptr || r->kind != ScriptResult::Kind::kRows) {
    return Finish(
        *stmt, stmt->connection, std::move(call),
        Fail(*stmt, nullptr, {"07005", "The statement returns no result set"}));
  }
  if (column < 1 || column > r->columns.size()) {
    return Finish(*stmt, stmt->connection, std::move(call),
                  Fail(*stmt, nullptr, {"07009", "Invalid descriptor index"}));
  }
  const ScriptColumn& col = r->columns[column - 1];
  const std::string text = NarrowOut(*stmt->connection, col.name);
  call.text = col.name;
  SQLRETURN rc = SQL_SUCCESS;
  if (name_length != nullptr) {
    *name_length = static_cast<SQLSMALLINT>(text.size());
  }
  if (name != nullptr && CopyOut(text, name, buffer_length)) {
    Diagnose(*stmt, "01004", "String data, right truncated");
    rc = SQL_SUCCESS_WITH_INFO;
  }
  if (sql_type != nullptr) *sql_type = static_cast<SQLSMALLINT>(col.sql_type);
  if (size != nullptr) *size = col.size;
  if (digits != nullptr) *digits = static_cast<SQLSMALLINT>(col.digits);
  if (nullable != nullptr) *nullable = SQL_NULLABLE;
  return Finish(*stmt, stmt->connection, std::move(call), rc);
}

SQLRETURN Server::Fetch(SQLHSTMT handle) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  Call call = Named("SQLFetch");
  const ScriptResult* r = stmt->Current();
  if (r == nullptr || r->kind != ScriptResult::Kind::kRows) {
    return Finish(*stmt, stmt->connection, std::move(call),
                  Fail(*stmt, nullptr, {"24000", "Invalid cursor state"}));
  }
  stmt->data_column = 0;
  const auto rows = static_cast<long long>(r->rows.size());
  if (stmt->row + 1 >= rows) {
    stmt->row = rows;
    return Finish(*stmt, stmt->connection, std::move(call), SQL_NO_DATA);
  }
  ++stmt->row;
  return Finish(*stmt, stmt->connection, std::move(call), SQL_SUCCESS);
}

SQLRETURN Server::GetData(SQLHSTMT handle, SQLUSMALLINT column,
                          SQLSMALLINT c_type, SQLPOINTER target,
                          SQLLEN buffer_length, SQLLEN* indicator) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  Call call = Named("SQLGetData", column, c_type);
  auto finish = [&](SQLRETURN rc) {
    return Finish(*stmt, stmt->connection, std::move(call), rc);
  };
  const ScriptResult* r = stmt->Current();
  if (r == nullptr || r->kind != ScriptResult::Kind::kRows || stmt->row < 0 ||
      stmt->row >= static_cast<long long>(r->rows.size())) {
    return finish(Fail(*stmt, nullptr, {"24000", "Invalid cursor state"}));
  }
  if (column < 1 || column > r->columns.size()) {
    return finish(Fail(*stmt, nullptr, {"07009", "Invalid descriptor index"}));
  }
  if (column != stmt->data_column) {
    stmt->data_column = column;
    stmt->data_offset = 0;
    stmt->data_done = false;
  }
  if (stmt->data_done) return finish(SQL_NO_DATA);
  const auto& row = r->rows[static_cast<std::size_t>(stmt->row)];
  const ScriptValue& value =
      column - 1u < row.size() ? row[column - 1] : ScriptValue();
  if (!value) {
    if (indicator == nullptr) {
      return finish(
          Fail(*stmt, nullptr,
               {"22002", "Indicator variable required but not supplied"}));
    }
    *indicator = SQL_NULL_DATA;
    stmt->data_done = true;
    return finish(SQL_SUCCESS);
  }
  switch (c_type) {
    case SQL_C_CHAR:
    case SQL_C_WCHAR:
    case SQL_C_BINARY:
      return finish(
          GetText(*stmt, *value, c_type, target, buffer_length, indicator));
    default:
      return finish(GetFixed(*stmt, *value, c_type, target, indicator));
  }
}

SQLRETURN Server::GetText(Statement& stmt, const std::string& value,
                          SQLSMALLINT c_type, SQLPOINTER target,
                          SQLLEN buffer_length, SQLLEN* indicator) {
  std::string data;
  std::size_t unit = 1;
  std::size_t terminator = 0;
  if (c_type == SQL_C_CHAR) {
    data = NarrowOut(*stmt.connection, value);
    terminator = 1;
  } else if (c_type == SQL_C_WCHAR) {
    const std::u16string wide = EncodeUtf16(DecodeUtf8(value));
    data.assign(reinterpret_cast<const char*>(wide.data()), 2 * wide.size());
    unit = terminator = 2;
  } else {
    data = value;
  }
  const std::size_t remaining = data.size() - stmt.data_offset;
  std::size_t capacity = 0;
  if (target != nullptr && buffer_length >= static_cast<SQLLEN>(terminator)) {
    capacity =
        (static_cast<std::size_t>(buffer_length) - terminator) / unit * unit;
  }
  if (c_type == SQL_C_CHAR && piece_bytes_ > 0) {
    capacity = std::min(capacity, piece_bytes_);
  }
  const std::size_t n = std::min(remaining, capacity);
  if (target != nullptr && buffer_length >= static_cast<SQLLEN>(terminator)) {
    std::memcpy(target, data.data() + stmt.data_offset, n);
    std::memset(static_cast<char*>(target) + n, 0, terminator);
  }
  // What was left before this call, in the target's encoding.
  if (indicator != nullptr) *indicator = static_cast<SQLLEN>(remaining);
  stmt.data_offset += n;
  if (n < remaining) {
    Diagnose(stmt, "01004", "String data, right truncated");
    return SQL_SUCCESS_WITH_INFO;
  }
  stmt.data_done = true;
  return SQL_SUCCESS;
}

SQLRETURN Server::GetFixed(Statement& stmt, const std::string& value,
                           SQLSMALLINT c_type, SQLPOINTER target,
                           SQLLEN* indicator) {
  const Failure invalid{"22018", "Invalid character value for the target type"};
  const Failure out_of_range{"22003", "Numeric value out of range"};
  auto store = [&](const auto& v) {
    if (target != nullptr) std::memcpy(target, &v, sizeof v);
    if (indicator != nullptr) *indicator = sizeof v;
    stmt.data_done = true;
  };
  bool fraction_lost = false;
  switch (c_type) {
    case SQL_C_SBIGINT:
    case SQL_C_SLONG:
    case SQL_C_LONG: {
      const auto v = ParseWhole(value, fraction_lost);
      if (!v) return Fail(stmt, nullptr, invalid);
      if (c_type == SQL_C_SBIGINT) {
        store(static_cast<SQLBIGINT>(*v));
      } else if (*v < std::numeric_limits<SQLINTEGER>::min() ||
                 *v > std::numeric_limits<SQLINTEGER>::max()) {
        return Fail(stmt, nullptr, out_of_range);
      } else {
        store(static_cast<SQLINTEGER>(*v));
      }
      break;
    }
    case SQL_C_DOUBLE: {
      const auto v = ParseDouble(value);
      if (!v) return Fail(stmt, nullptr, invalid);
      store(*v);
      break;
    }
    case SQL_C_BIT: {
      std::optional<unsigned char> bit;
      if (EqualsIgnoringAsciiCase(Trim(value), "true")) bit = 1;
      if (EqualsIgnoringAsciiCase(Trim(value), "false")) bit = 0;
      if (!bit) {
        const auto d = ParseDouble(value);
        if (!d) return Fail(stmt, nullptr, invalid);
        if (*d < 0 || *d >= 2) return Fail(stmt, nullptr, out_of_range);
        fraction_lost = *d != 0 && *d != 1;
        bit = static_cast<unsigned char>(*d);
      }
      store(*bit);
      break;
    }
    case SQL_C_TYPE_TIMESTAMP: {
      SQL_TIMESTAMP_STRUCT ts{};
      if (!ParseTimestamp(value, ts)) return Fail(stmt, nullptr, invalid);
      store(ts);
      break;
    }
    default:
      return Fail(stmt, nullptr,
                  {"07006", "Restricted data type attribute violation"});
  }
  if (fraction_lost) {
    Diagnose(stmt, "01S07", "Fractional truncation");
    return SQL_SUCCESS_WITH_INFO;
  }
  return SQL_SUCCESS;
}

SQLRETURN Server::MoreResults(SQLHSTMT handle) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  Call call = Named("SQLMoreResults");
  if (stmt->current < stmt->results.size()) ++stmt->current;
  stmt->row = -1;
  stmt->data_column = 0;
  const ScriptResult* r = stmt->Current();
  if (r == nullptr) {
    return Finish(*stmt, stmt->connection, std::move(call), SQL_NO_DATA);
  }
  if (r->kind == ScriptResult::Kind::kError) {
    const Failure failure{r->sqlstate, r->message, r->kills_connection};
    // Nothing comes after a result that took the connection down.
    if (failure.kills_connection) stmt->results.resize(stmt->current + 1);
    return Finish(*stmt, stmt->connection, std::move(call),
                  Fail(*stmt, stmt->connection, failure));
  }
  return Finish(*stmt, stmt->connection, std::move(call), SQL_SUCCESS);
}

SQLRETURN Server::RowCount(SQLHSTMT handle, SQLLEN* count) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  const ScriptResult* r = stmt->Current();
  const SQLLEN answer = r != nullptr && r->kind == ScriptResult::Kind::kCount
                            ? static_cast<SQLLEN>(r->count)
                            : -1;
  if (count != nullptr) *count = answer;
  return Finish(*stmt, stmt->connection, Named("SQLRowCount", 0, answer),
                SQL_SUCCESS);
}

SQLRETURN Server::FreeStmt(SQLHSTMT handle, SQLUSMALLINT option) {
  if (option == SQL_DROP) return FreeHandle(SQL_HANDLE_STMT, handle);
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  if (option == SQL_CLOSE) {
    stmt->results.clear();
    stmt->current = 0;
    stmt->row = -1;
  } else if (option == SQL_RESET_PARAMS) {
    stmt->parameters.clear();
  }
  return Finish(*stmt, stmt->connection, Named("SQLFreeStmt", 0, option),
                SQL_SUCCESS);
}

SQLRETURN Server::CloseCursor(SQLHSTMT handle) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  stmt->results.clear();
  stmt->current = 0;
  stmt->row = -1;
  return Finish(*stmt, stmt->connection, Named("SQLCloseCursor"), SQL_SUCCESS);
}

SQLRETURN Server::Cancel(SQLHSTMT handle) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  return Finish(*stmt, stmt->connection, Named("SQLCancel"), SQL_SUCCESS);
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
  Connection* c = type == SQL_HANDLE_DBC ? static_cast<Connection*>(h)
                  : type == SQL_HANDLE_STMT
                      ? static_cast<Statement*>(h)->connection
                      : nullptr;
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
    if (native != nullptr) *native = 0;
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
  Connection* c = type == SQL_HANDLE_DBC ? static_cast<Connection*>(h)
                  : type == SQL_HANDLE_STMT
                      ? static_cast<Statement*>(h)->connection
                      : nullptr;
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
        rc = number(static_cast<SQLINTEGER>(0));
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
