#ifndef NORVESSA_CONTROLLERS_CONTROLLER_SUPPORT_H_
#define NORVESSA_CONTROLLERS_CONTROLLER_SUPPORT_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "db/query.h"
#include "framework/api_request.h"
#include "framework/api_response.h"
#include "serialize/mem_table.h"

namespace norvessa {

// The pieces every handler shares.

// The body loaded into a fresh in-memory table; a failure to load leaves
// the handler for the exception middleware.
void LoadBody(const ApiRequest& request, MemTable& body);

// True when the field can be read and its text is not empty; a failed
// read counts as false.
bool FieldIsFilled(const MemTable& table, std::string_view name);

// The text as a quoted SQL literal: 'it''s'.
std::string Quoted(std::string_view text);

// "and <column> like '%<text>%'collate Latin1_General_CI_AI": the text's
// quotes doubled, its "%" and "_" kept as wildcards.
std::string LikeFilterLine(std::string_view column, std::string_view text);

// "OFFSET <start> ROWS FETCH NEXT <count> ROWS ONLY".
std::string PagingLine(std::int32_t start, std::int32_t count);

// A path parameter read as a 32-bit signed integer and written back in
// decimal; fails with the conversion error.
std::string Int32Text(std::string_view text);

// The rows as an array, or ["Result","Nenhum Registro Encontrado!"].
void AnswerRows(Query& qry, ApiResponse& res);
// The first row as an object, or {"Result":"Nenhum Registro Encontrado!"}
// with `empty_status`.
void AnswerRow(Query& qry, ApiResponse& res, int empty_status = 200);

}  // namespace norvessa

#endif  // NORVESSA_CONTROLLERS_CONTROLLER_SUPPORT_H_
