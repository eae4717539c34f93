#ifndef NORVESSA_APP_PLATFORM_H_
#define NORVESSA_APP_PLATFORM_H_

#include <cstdint>
#include <optional>
#include <string>

namespace norvessa {

// The controls of the control window.
enum class Control {
  kLabel1,
  kLbIP,
  kEdPorta,
  kEdIP,
  kBtStart,
  kBtStop,
  kBtConectar,
};

struct FileVersion {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint16_t release = 0;
  std::uint16_t build = 0;
};

// What the window logic needs of the platform: files and settings, modal
// messages, ending the program, and the window's controls. The Qt window,
// the headless mode and the tests each provide one.
class Platform {
 public:
  virtual ~Platform() = default;

  virtual std::string ProgramFilePath() = 0;
  // What stands for the drive that holds the program.
  virtual std::string DriveRoot() = 0;
  virtual bool FileExists(const std::string& path) = 0;
  virtual std::string ReadIniString(const std::string& path,
                                    const std::string& section,
                                    const std::string& key,
                                    const std::string& default_value) = 0;
  // Fails with "Unable to write to <path>" (DetailedError, the cause in
  // its detail).
  virtual void WriteIniString(const std::string& path,
                              const std::string& section,
                              const std::string& key,
                              const std::string& value) = 0;

  // A modal message with an OK button. `detail`, when not empty, is what
  // the text leaves out (a path, a key, a cause): the box's details, a line
  // of its own without a window.
  virtual void ShowMessage(const std::string& text,
                           const std::string& detail) = 0;
  // A modal message box with a caption and an OK button; `detail` as
  // above.
  virtual void MessageBox(const std::string& text, const std::string& caption,
                          const std::string& detail) = 0;
  // Ends the program once the current event has been handled.
  virtual void Terminate() = 0;
  virtual bool Terminated() const = 0;

  virtual std::string ControlText(Control control) = 0;
  virtual void SetControlText(Control control, const std::string& text) = 0;
  virtual void SetControlEnabled(Control control, bool enabled) = 0;
  virtual void SetControlVisible(Control control, bool visible) = 0;
  virtual void SetStatusPanel(int index, const std::string& text) = 0;

  // The program file's version, or nothing when it has none.
  virtual std::optional<FileVersion> GetFileVersion(
      const std::string& path) = 0;
};

}  // namespace norvessa

#endif  // NORVESSA_APP_PLATFORM_H_
