#ifndef NORVESSA_APP_WINDOW_QT_PLATFORM_H_
#define NORVESSA_APP_WINDOW_QT_PLATFORM_H_

#include <string>

#include "app/system_platform.h"

class QWidget;

namespace norvessa {

class FrmAPINorvessa;

// The platform behind the control window: files, settings and version as on
// any machine, the controls are the window's widgets, messages are modal
// boxes and the end of the program leaves Qt's event loop.
class QtPlatform : public SystemPlatform {
 public:
  // The caption of a plain message, as the program's title.
  static constexpr const char* kMessageCaption = "APINorvessa";

  // The window whose widgets the controls are; set by the window itself.
  void Attach(FrmAPINorvessa* window) { window_ = window; }

  // A detail goes into the box's details, behind its "Show Details..."
  // button; the text and caption stay as given.
  void ShowMessage(const std::string& text, const std::string& detail) override;
  void MessageBox(const std::string& text, const std::string& caption,
                  const std::string& detail) override;
  // Leaves the event loop once the current event has been handled, with
  // exit code 1.
  void Terminate() override;

  // What the operator may have typed is read from the widget.
  std::string ControlText(Control control) override;
  void SetControlText(Control control, const std::string& text) override;
  void SetControlEnabled(Control control, bool enabled) override;
  void SetControlVisible(Control control, bool visible) override;
  void SetStatusPanel(int index, const std::string& text) override;

 private:
  QWidget* Widget(Control control) const;

  FrmAPINorvessa* window_ = nullptr;
};

}  // namespace norvessa

#endif  // NORVESSA_APP_WINDOW_QT_PLATFORM_H_
