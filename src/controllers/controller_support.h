#ifndef NORVESSA_CONTROLLERS_CONTROLLER_SUPPORT_H_
#define NORVESSA_CONTROLLERS_CONTROLLER_SUPPORT_H_

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "db/connection_pool.h"
#include "db/query.h"
#include "db/unit_of_work.h"
#include "framework/api_callback.h"
#include "framework/api_core.h"
#include "framework/api_request.h"
#include "framework/api_response.h"
#include "framework/method_type.h"
#include "json/json_value.h"
#include "serialize/mem_table.h"

namespace norvessa {

// The pieces every handler shares.

// One route of a resource: its method, its path and its handler.
struct ResourceRoute {
  MethodType method;
  std::string_view path;
  ApiCallback handler;
};

// Registers the routes in the order given.
void BindRoutes(ApiCore& api, std::initializer_list<ResourceRoute> routes);

// A handler of the controller as a callback; every callback shares the one
// controller, which lives as long as the routes.
template <typename Controller>
ApiCallback BindHandler(
    const std::shared_ptr<Controller>& controller,
    void (Controller::*handler)(ApiRequest&, ApiResponse&,
                                const std::function<void()>&)) {
  return [controller, handler](ApiRequest& req, ApiResponse& res,
                               const std::function<void()>& next) {
    ((*controller).*handler)(req, res, next);
  };
}

// How a query's rows are answered: all of them as an array, or the first
// one as an object.
enum class RowsShape { kArray, kFirstRow };

// The parts in which handlers differ; RunHandler runs them in this order,
// each one only when given.
struct HandlerSteps {
  // Filled from the request body first; a body that fails to load leaves
  // the handler for the exception middleware.
  MemTable* body = nullptr;
  // Outside the guarded section: false when it has answered already (a
  // required field is missing).
  std::function<bool()> admit = {};
  // The guarded section begins: reads that fail before a connection is
  // taken (a path key, a quantity).
  std::function<void()> prepare = {};
  // On the unit of work, either `work` does it all (writes, transactions),
  // or `sql` writes one statement, which is opened and answered by
  // `answer`, else by AnswerRows with `shape` and `empty_status`.
  std::function<void(UnitOfWork&)> work = {};
  std::function<void(SqlLines&)> sql = {};
  std::function<void(Query&)> answer = {};
  RowsShape shape = RowsShape::kArray;
  int empty_status = 200;
};

// A handler: the steps, and on any failure of the guarded section the
// cause logged (LogGuardedFailure) and the resource's `failure` message
// answered with `failure_status`.
void RunHandler(ConnectionPool& pool, ApiRequest& req, ApiResponse& res,
                const JsonValue& failure, int failure_status,
                const HandlerSteps& steps);

// The body loaded into a fresh in-memory table; a failure to load leaves
// the handler for the exception middleware.
void LoadBody(const ApiRequest& request, MemTable& body);

// True when the field can be read and its text is not empty; a failed
// read counts as false.
bool FieldIsFilled(const MemTable& table, std::string_view name);

// False, and {"Result":`empty_text`} answered with 401, when the field is
// empty; false, and {"Erro except":`missing_text`} with 404, when it cannot
// be read.
bool RequireFilled(const MemTable& body, std::string_view name,
                   ApiResponse& res, std::string_view empty_text,
                   std::string_view missing_text);

// The text as a quoted SQL literal: 'it''s'.
std::string Quoted(std::string_view text);

// "and <column> like '%<text>%'collate Latin1_General_CI_AI": the text's
// quotes doubled, its "%" and "_" kept as wildcards.
std::string LikeFilterLine(std::string_view column, std::string_view text);

// "OFFSET ? ROWS FETCH NEXT ? ROWS ONLY", with `start` and `count`.
void AddPagingLine(SqlLines& sql, std::int32_t start, std::int32_t count);

// `head` followed by the value of `text`: a "?" bound to the integer when
// the text is a decimal 32-bit integer (blanks around it allowed), as the
// int column it is compared with would read it; else the text as a quoted
// literal, which the server converts (or refuses) as it does any literal.
void AddComparedLine(SqlLines& sql, std::string head, std::string_view text);

// A path parameter read as a 32-bit signed integer; fails with the
// conversion error.
std::int32_t Int32Value(std::string_view text);

// The rows in `shape`, or ["Result","Nenhum Registro Encontrado!"] (an
// object {"Result":...} for kFirstRow) with `empty_status`.
void AnswerRows(Query& qry, ApiResponse& res, int empty_status,
                RowsShape shape = RowsShape::kArray);

}  // namespace norvessa

#endif  // NORVESSA_CONTROLLERS_CONTROLLER_SUPPORT_H_
