#include "app/system_platform.h"

#include <sys/stat.h>

#include "app/ini_file.h"
#include "app/program_paths.h"
#include "app/version.h"

namespace norvessa {

std::string SystemPlatform::ProgramFilePath() {
  return norvessa::ProgramFilePath();
}

std::string SystemPlatform::DriveRoot() {
  return norvessa::DriveRoot(DirectoryOf(ProgramFilePath()));
}

bool SystemPlatform::FileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string SystemPlatform::ReadIniString(const std::string& path,
                                          const std::string& section,
                                          const std::string& key,
                                          const std::string& default_value) {
  return norvessa::ReadIniString(path, section, key, default_value);
}

void SystemPlatform::WriteIniString(const std::string& path,
                                    const std::string& section,
                                    const std::string& key,
                                    const std::string& value) {
  norvessa::WriteIniString(path, section, key, value);
}

std::string SystemPlatform::ControlText(Control control) {
  return controls_[control].text;
}

void SystemPlatform::SetControlText(Control control, const std::string& text) {
  controls_[control].text = text;
}

void SystemPlatform::SetControlEnabled(Control control, bool enabled) {
  controls_[control].enabled = enabled;
}

void SystemPlatform::SetControlVisible(Control control, bool visible) {
  controls_[control].visible = visible;
}

void SystemPlatform::SetStatusPanel(int index, const std::string& text) {
  panels_[index] = text;
}

std::optional<FileVersion> SystemPlatform::GetFileVersion(
    const std::string& path) {
  if (path != ProgramFilePath()) return std::nullopt;
  return FileVersion{kVersionMajor, kVersionMinor, kVersionPatch,
                     kVersionTweak};
}

bool SystemPlatform::ControlEnabled(Control control) const {
  const auto it = controls_.find(control);
  return it == controls_.end() || it->second.enabled;
}

bool SystemPlatform::ControlVisible(Control control) const {
  const auto it = controls_.find(control);
  return it == controls_.end() || it->second.visible;
}

std::string SystemPlatform::StatusPanel(int index) const {
  const auto it = panels_.find(index);
  return it == panels_.end() ? std::string() : it->second;
}

}  // namespace norvessa
