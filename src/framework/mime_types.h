#ifndef NORVESSA_FRAMEWORK_MIME_TYPES_H_
#define NORVESSA_FRAMEWORK_MIME_TYPES_H_

#include <string_view>

namespace norvessa {

enum class MimeTypes {
  kMultiPartFormData,
  kApplicationXWWWFormURLEncoded,
  kApplicationJSON,
  kApplicationOctetStream,
  kApplicationXML,
  kApplicationJavaScript,
  kApplicationPDF,
  kApplicationTypeScript,
  kApplicationZIP,
  kTextPlain,
  kTextCSS,
  kTextCSV,
  kTextHTML,
  kImageJPEG,
  kImagePNG,
  kImageGIF,
};

std::string_view ToString(MimeTypes type);

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_MIME_TYPES_H_
