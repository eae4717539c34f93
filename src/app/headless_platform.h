#ifndef NORVESSA_APP_HEADLESS_PLATFORM_H_
#define NORVESSA_APP_HEADLESS_PLATFORM_H_

#include "app/system_platform.h"

namespace norvessa {

// The window without a window: each operator message is one line on
// stderr with its exact text, a message box adds its caption on the next
// line, and a detail follows as one more line.
class HeadlessPlatform : public SystemPlatform {
 public:
  void ShowMessage(const std::string& text, const std::string& detail) override;
  void MessageBox(const std::string& text, const std::string& caption,
                  const std::string& detail) override;
};

}  // namespace norvessa

#endif  // NORVESSA_APP_HEADLESS_PLATFORM_H_
