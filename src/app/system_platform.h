#ifndef NORVESSA_APP_SYSTEM_PLATFORM_H_
#define NORVESSA_APP_SYSTEM_PLATFORM_H_

#include <map>
#include <string>

#include "app/platform.h"

namespace norvessa {

// The file, settings and version operations of a real machine, and the
// controls kept as plain state; views build on it.
class SystemPlatform : public Platform {
 public:
  std::string ProgramFilePath() override;
  std::string DriveRoot() override;
  bool FileExists(const std::string& path) override;
  std::string ReadIniString(const std::string& path, const std::string& section,
                            const std::string& key,
                            const std::string& default_value) override;
  void WriteIniString(const std::string& path, const std::string& section,
                      const std::string& key,
                      const std::string& value) override;
  void Terminate() override { terminated_ = true; }
  bool Terminated() const override { return terminated_; }

  std::string ControlText(Control control) override;
  void SetControlText(Control control, const std::string& text) override;
  void SetControlEnabled(Control control, bool enabled) override;
  void SetControlVisible(Control control, bool visible) override;
  void SetStatusPanel(int index, const std::string& text) override;
  // The version this program was built with, for the program itself.
  std::optional<FileVersion> GetFileVersion(const std::string& path) override;

  bool ControlEnabled(Control control) const;
  bool ControlVisible(Control control) const;
  std::string StatusPanel(int index) const;

 private:
  struct ControlState {
    std::string text;
    bool enabled = true;
    bool visible = true;
  };
  std::map<Control, ControlState> controls_;
  std::map<int, std::string> panels_;
  bool terminated_ = false;
};

}  // namespace norvessa

#endif  // NORVESSA_APP_SYSTEM_PLATFORM_H_
