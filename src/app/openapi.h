#ifndef NORVESSA_APP_OPENAPI_H_
#define NORVESSA_APP_OPENAPI_H_
#include <string>
namespace norvessa {
std::string OpenApiDocument();
}
#endif
