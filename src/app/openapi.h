#ifndef NORVESSA_APP_OPENAPI_H_
#define NORVESSA_APP_OPENAPI_H_

#include <string>

namespace norvessa {

// The OpenAPI 3.0.3 description of every ERP route the service registers:
// methods, paths, path parameters, request bodies with the forms the
// handlers read, every status with its body and fixed message, paging and
// compression. UTF-8 JSON text, indented by two blanks.
std::string OpenApiDocument();

}  // namespace norvessa

#endif  // NORVESSA_APP_OPENAPI_H_
