#ifndef NORVESSA_CONTROLLERS_RESULT_MESSAGE_H_
#define NORVESSA_CONTROLLERS_RESULT_MESSAGE_H_

#include <exception>
#include <string_view>

#include "framework/api_request.h"
#include "json/json_value.h"

namespace norvessa {

// The answers a handler gives instead of rows: an object with one pair,
// {"Result":"Sem Estado!"}, or an array of two strings,
// ["Result","Nenhum Registro Encontrado!"].
JsonValue ResultObject(std::string_view key, std::string_view text);
JsonValue ResultArray(std::string_view key, std::string_view text);

inline constexpr std::string_view kResult = "Result";
inline constexpr std::string_view kErroExcept = "Erro except";
inline constexpr std::string_view kNenhumRegistro =
    "Nenhum Registro Encontrado!";

// A guarded section failed: the client gets a fixed message, so a cause on
// the server's side (the database, mostly) goes to stderr (method, path,
// message), a misuse of a dataset or a misspelt column included. Missing
// keys and unreadable values of the request (InputError) are the client's
// and are not written; neither is each request of a database outage.
void LogGuardedFailure(const ApiRequest& request);

}  // namespace norvessa

#endif  // NORVESSA_CONTROLLERS_RESULT_MESSAGE_H_
