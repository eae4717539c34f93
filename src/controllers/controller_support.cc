#include "controllers/controller_support.h"

#include <limits>

#include "controllers/result_message.h"
#include "db/sql_lexer.h"
#include "serialize/dataset_error.h"
#include "serialize/dataset_export.h"
#include "serialize/dataset_import.h"
#include "text/number_text.h"

namespace norvessa {

void BindRoutes(ApiCore& api, std::initializer_list<ResourceRoute> routes) {
  for (const ResourceRoute& route : routes) {
    api.RegisterRoute(route.method, route.path, route.handler);
  }
}

void RunHandler(ConnectionPool& pool, ApiRequest& req, ApiResponse& res,
                const JsonValue& failure, int failure_status,
                const HandlerSteps& steps) {
  if (steps.body != nullptr) LoadBody(req, *steps.body);
  if (steps.admit && !steps.admit()) return;
  try {
    if (steps.prepare) steps.prepare();
    RunUnitOfWork(pool, [&](UnitOfWork& uow) {
      if (steps.work) {
        steps.work(uow);
        return;
      }
      Query qry(uow);
      steps.sql(qry.SQL());
      qry.Open();
      if (steps.answer) {
        steps.answer(qry);
      } else {
        AnswerRows(qry, res, steps.empty_status, steps.shape);
      }
    });
  } catch (...) {
    LogGuardedFailure(req);
    res.Send(failure).Status(failure_status);
  }
}

void LoadBody(const ApiRequest& request, MemTable& body) {
  body.MarkAsInput();
  if (request.BodyParsed()) {
    // The JSON body middleware parsed it already; only the body's first
    // mark is looked at again, on the raw bytes (whatever they are made of,
    // "{" and "[" are themselves).
    LoadFromJSON(body, request.RawWebRequest().body, request.BodyObject());
    return;
  }
  LoadFromJSON(body, request.Body());
}

bool FieldIsFilled(const MemTable& table, std::string_view name) {
  try {
    return !table.FieldByName(name).AsString().empty();
  } catch (...) {
    return false;
  }
}

bool RequireFilled(const MemTable& body, std::string_view name,
                   ApiResponse& res, std::string_view empty_text,
                   std::string_view missing_text) {
  try {
    if (body.FieldByName(name).AsString().empty()) {
      res.Send(ResultObject(kResult, empty_text)).Status(401);
      return false;
    }
  } catch (...) {
    res.Send(ResultObject(kErroExcept, missing_text)).Status(404);
    return false;
  }
  return true;
}

std::string Quoted(std::string_view text) { return QuoteSqlString(text); }

std::string LikeFilterLine(std::string_view column, std::string_view text) {
  std::string line = "and " + std::string(column) + " like '%";
  for (char c : text) {
    line += c;
    if (c == '\'') line += '\'';
  }
  line += "%'collate Latin1_General_CI_AI";
  return line;
}

void AddPagingLine(SqlLines& sql, std::int32_t start, std::int32_t count) {
  sql.Add("OFFSET ? ROWS FETCH NEXT ? ROWS ONLY",
          {std::int64_t{start}, std::int64_t{count}});
}

namespace {

std::optional<std::int64_t> TryParseInt32(std::string_view text) {
  return TryParseInteger(text, std::numeric_limits<std::int32_t>::min(),
                         std::numeric_limits<std::int32_t>::max());
}

}  // namespace

void AddComparedLine(SqlLines& sql, std::string head, std::string_view text) {
  if (const auto value = TryParseInt32(text)) {
    sql.Add(std::move(head) + "?", {*value});
  } else {
    sql.Add(std::move(head) + Quoted(text));
  }
}

std::int32_t Int32Value(std::string_view text) {
  const auto value = TryParseInt32(text);
  if (!value) throw InputError(NotAValidInteger(text));
  return static_cast<std::int32_t>(*value);
}

void AnswerRows(Query& qry, ApiResponse& res, int empty_status,
                RowsShape shape) {
  if (!qry.IsEmpty()) {
    res.SendJsonText(shape == RowsShape::kArray ? ToJSONArrayText(qry)
                                                : ToJSONObjectText(qry));
  } else if (shape == RowsShape::kArray) {
    res.Send(ResultArray(kResult, kNenhumRegistro)).Status(empty_status);
  } else {
    res.Send(ResultObject(kResult, kNenhumRegistro)).Status(empty_status);
  }
}

}  // namespace norvessa
