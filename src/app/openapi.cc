#include "app/openapi.h"
namespace norvessa {
std::string OpenApiDocument() { return "{}"; }
}  // namespace norvessa
