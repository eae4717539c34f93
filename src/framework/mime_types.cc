#include "framework/mime_types.h"

#include <array>

namespace norvessa {

std::string_view ToString(MimeTypes type) {
  static constexpr std::array<std::string_view, 16> kTexts = {
      "multipart/form-data",
      "application/x-www-form-urlencoded",
      "application/json",
      "application/octet-stream",
      "application/xml",
      "application/javascript",
      "application/pdf",
      "application/typescript",
      "application/zip",
      "text/plain",
      "text/css",
      "text/csv",
      "text/html",
      "image/jpeg",
      "image/png",
      "image/gif",
  };
  return kTexts.at(static_cast<std::size_t>(type));
}

}  // namespace norvessa
