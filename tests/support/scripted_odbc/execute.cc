// Parameters, SQLPrepare, SQLExecute and SQLExecDirect: what answers a
// statement.

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "db/sql_lexer.h"
#include "support/scripted_odbc/driver_support.h"
#include "support/scripted_odbc/scripted_driver.h"
#include "support/scripted_odbc/text_codec.h"

namespace norvessa::testing::scripted {
namespace {

bool IsNarrowSqlType(SQLSMALLINT sql_type) {
  return sql_type == SQL_CHAR || sql_type == SQL_VARCHAR ||
         sql_type == SQL_LONGVARCHAR;
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

}  // namespace

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

std::optional<std::vector<ScriptResult>> Server::AnswerFor(
    std::string_view text) {
  for (ScriptAnswer& answer : answers_) {
    if (answer.times == 0 || !ContainsIgnoringAsciiCase(text, answer.match)) {
      continue;
    }
    if (answer.times > 0) --answer.times;
    return answer.results;
  }
  if (EqualsIgnoringAsciiCase(Trim(text), "SELECT 1")) {
    return std::vector{Rows({{"", SQL_INTEGER, 10, 0}}, {{"1"}})};
  }
  return std::nullopt;
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

// SET NOCOUNT ON / OFF anywhere in the statement, the last one winning.
void FollowNocount(Connection& c, std::string_view text) {
  std::string words;  // upper case, one blank between words
  for (const char ch : text) {
    if (ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n') {
      if (!words.empty() && words.back() != ' ') words += ' ';
    } else {
      words += ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 'a' + 'A') : ch;
    }
  }
  const std::size_t on = words.rfind("SET NOCOUNT ON");
  const std::size_t off = words.rfind("SET NOCOUNT OFF");
  if (on != std::string::npos && (off == std::string::npos || on > off)) {
    c.nocount = true;
  } else if (off != std::string::npos) {
    c.nocount = false;
  }
}

}  // namespace

SQLRETURN Server::ExecDirect(Lock& lock, SQLHSTMT handle, SQLCHAR* text,
                             SQLINTEGER length) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  // What was prepared is gone: the handle holds another statement now.
  stmt->prepared.reset();
  Call call = Named("SQLExecDirect");
  call.text = EncodeUtf8(NarrowIn(*stmt->connection, TextOf(text, length)));
  return Run(lock, *stmt, std::move(call));
}

SQLRETURN Server::Prepare(SQLHSTMT handle, SQLCHAR* text, SQLINTEGER length) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  stmt->CloseCursor();
  Call call = Named("SQLPrepare");
  call.text = EncodeUtf8(NarrowIn(*stmt->connection, TextOf(text, length)));
  // Both drivers put the prepare off to the first execute, where the
  // server sees the text: nothing here talks to it.
  if (auto failure = TakeFailure("SQLPrepare")) {
    stmt->prepared.reset();
    return Finish(*stmt, stmt->connection, std::move(call),
                  Fail(*stmt, stmt->connection, *failure));
  }
  stmt->prepared = call.text;
  return Finish(*stmt, stmt->connection, std::move(call), SQL_SUCCESS);
}

SQLRETURN Server::Execute(Lock& lock, SQLHSTMT handle) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  Call call = Named("SQLExecute");
  if (!stmt->prepared) {
    stmt->CloseCursor();
    return Finish(*stmt, stmt->connection, std::move(call),
                  Fail(*stmt, nullptr, {"HY010", "Function sequence error"}));
  }
  call.text = *stmt->prepared;
  return Run(lock, *stmt, std::move(call));
}

SQLRETURN Server::NumParams(SQLHSTMT handle, SQLSMALLINT* count) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  Call call = Named("SQLNumParams");
  if (!stmt->prepared) {
    return Finish(*stmt, stmt->connection, std::move(call),
                  Fail(*stmt, nullptr, {"HY010", "Function sequence error"}));
  }
  // The markers outside strings, names and comments.
  const std::vector<SqlToken> tokens = TokenizeSql(*stmt->prepared);
  call.value =
      std::count_if(tokens.begin(), tokens.end(), [](const SqlToken& t) {
        return t.kind == SqlTokenKind::kParameter && t.text == "?";
      });
  if (count != nullptr) *count = static_cast<SQLSMALLINT>(call.value);
  return Finish(*stmt, stmt->connection, std::move(call), SQL_SUCCESS);
}

SQLRETURN Server::Run(Lock& lock, Statement& stmt, Call call) {
  stmt.CloseCursor();
  Connection& c = *stmt.connection;
  TraceStatement(call.text);
  std::optional<Failure> conversion;
  for (const auto& [number, parameter] : stmt.parameters) {
    BoundParam& param = call.params.emplace_back();
    auto failure = ReadParameter(c, number, parameter, param);
    if (failure && !conversion) conversion = std::move(failure);
  }
  auto fail = [&](const Failure& failure) {
    return Finish(stmt, &c, std::move(call), Fail(stmt, &c, failure));
  };
  if (auto failure = TakeFailure(call.function)) return fail(*failure);
  if (auto failure = Reach(lock, c, stmt.QueryTimeout())) {
    return fail(*failure);
  }
  if (conversion) return fail(*conversion);

  FollowNocount(c, call.text);
  std::vector<ScriptResult> results;
  if (auto scripted = AnswerFor(call.text)) {
    results = std::move(*scripted);
  } else if (ContainsIgnoringAsciiCase(
                 call.text, "CONNECTIONPROPERTY('encrypt_option')")) {
    results = {Rows({{"Encrypted", SQL_VARCHAR, 10, 0}},
                    {{c.encrypted ? "TRUE" : "FALSE"}})};
  } else if (c.backend != nullptr) {
    results = RunOnBackend(lock, c, call.text, call.params);
  }
  if (!results.empty() && results.front().kind == ScriptResult::Kind::kHang) {
    return fail(WaitOutHang(lock, c, stmt.QueryTimeout()));
  }
  std::erase_if(results, [&](const ScriptResult& r) {
    return r.kind == ScriptResult::Kind::kHang ||
           (c.nocount && r.kind == ScriptResult::Kind::kCount);
  });
  stmt.results = std::move(results);
  if (stmt.results.empty()) {
    return Finish(stmt, &c, std::move(call), SQL_SUCCESS);
  }
  const ScriptResult& first = stmt.results.front();
  if (first.kind == ScriptResult::Kind::kError) {
    const Failure failure = FailureOf(first);
    if (failure.sqlstate == "40001") BackendRolledBack(c);
    if (failure.kills_connection) stmt.results.resize(1);
    return fail(failure);
  }
  if (stmt.results.size() == 1 && first.kind == ScriptResult::Kind::kCount &&
      first.count == 0) {
    return Finish(stmt, &c, std::move(call), SQL_NO_DATA);
  }
  return Finish(stmt, &c, std::move(call), SQL_SUCCESS);
}

}  // namespace norvessa::testing::scripted
