#ifndef NORVESSA_APP_WINDOW_FRM_API_NORVESSA_H_
#define NORVESSA_APP_WINDOW_FRM_API_NORVESSA_H_

#include <QWidget>
#include <array>

#include "app/norvessa_form.h"
#include "app/platform.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QFrame;

namespace norvessa {

class QtPlatform;
class ServiceHost;

// The control window: the port and IP edits, "Iniciar" and "Parar", the
// banner that shows the connection, and a status bar with the company,
// the database and the version. The logic is NorvessaForm's; this class
// draws it and forwards the operator's clicks.
class FrmAPINorvessa : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kClientWidth = 594;
  static constexpr int kClientHeight = 143;
  static constexpr int kStatusPanels = 3;

  FrmAPINorvessa(QtPlatform& platform, ServiceHost& host,
                 QWidget* parent = nullptr);
  ~FrmAPINorvessa() override;

  // Sets the controls' initial state and reads the settings file; the
  // platform is terminated afterwards when the file is missing.
  void FormCreate();
  // Places the window in the middle of its screen.
  void CenterOnScreen();

  NorvessaForm& form() { return form_; }
  QWidget* control(Control control) const;
  QLineEdit* ed_porta() const { return ed_porta_; }
  QLineEdit* ed_ip() const { return ed_ip_; }
  QPushButton* bt_start() const { return bt_start_; }
  QPushButton* bt_stop() const { return bt_stop_; }
  QPushButton* bt_conectar() const { return bt_conectar_; }
  QFrame* status_bar() const { return status_bar_; }
  QLabel* status_panel(int index) const;

 protected:
  // Stops the server if it runs; the program then ends.
  void closeEvent(QCloseEvent* event) override;

 private:
  NorvessaForm form_;
  QLabel* label1_ = nullptr;
  QLabel* lb_ip_ = nullptr;
  QLineEdit* ed_porta_ = nullptr;
  QLineEdit* ed_ip_ = nullptr;
  QPushButton* bt_start_ = nullptr;
  QPushButton* bt_stop_ = nullptr;
  QPushButton* bt_conectar_ = nullptr;
  QFrame* status_bar_ = nullptr;
  std::array<QLabel*, kStatusPanels> panels_{};
};

}  // namespace norvessa

#endif  // NORVESSA_APP_WINDOW_FRM_API_NORVESSA_H_
