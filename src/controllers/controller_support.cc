#include "controllers/controller_support.h"

#include <limits>

#include "controllers/result_message.h"
#include "db/sql_lexer.h"
#include "serialize/dataset_error.h"
#include "serialize/dataset_export.h"
#include "serialize/dataset_import.h"
#include "serialize/regional.h"

namespace norvessa {

void LoadBody(const ApiRequest& request, MemTable& body) {
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

std::string PagingLine(std::int32_t start, std::int32_t count) {
  return "OFFSET " + FormatInteger(start) + " ROWS FETCH NEXT " +
         FormatInteger(count) + " ROWS ONLY";
}

std::string Int32Text(std::string_view text) {
  const auto value =
      TryParseInteger(text, std::numeric_limits<std::int32_t>::min(),
                      std::numeric_limits<std::int32_t>::max());
  if (!value) throw ConvertError(NotAValidInteger(text));
  return FormatInteger(*value);
}

void AnswerRows(Query& qry, ApiResponse& res) {
  if (!qry.IsEmpty()) {
    res.SendJsonText(ToJSONArrayText(qry));
  } else {
    res.Send(ResultArray(kResult, kNenhumRegistro));
  }
}

void AnswerRow(Query& qry, ApiResponse& res, int empty_status) {
  if (!qry.IsEmpty()) {
    res.SendJsonText(ToJSONObjectText(qry));
  } else {
    res.Send(ResultObject(kResult, kNenhumRegistro)).Status(empty_status);
  }
}

}  // namespace norvessa
