#include "app/window/qt_platform.h"

#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>

#include "app/window/frm_api_norvessa.h"

namespace norvessa {
namespace {

QString ToQt(const std::string& text) { return QString::fromStdString(text); }

void ShowBox(QWidget* parent, const std::string& text,
             const std::string& caption, const std::string& detail) {
  QMessageBox box(QMessageBox::NoIcon, ToQt(caption), ToQt(text),
                  QMessageBox::Ok, parent);
  if (!detail.empty()) box.setDetailedText(ToQt(detail));
  box.exec();
}

}  // namespace

void QtPlatform::ShowMessage(const std::string& text,
                             const std::string& detail) {
  ShowBox(window_, text, kMessageCaption, detail);
}

void QtPlatform::MessageBox(const std::string& text, const std::string& caption,
                            const std::string& detail) {
  ShowBox(window_, text, caption, detail);
}

void QtPlatform::Terminate() {
  SystemPlatform::Terminate();
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [] { QCoreApplication::exit(1); },
      Qt::QueuedConnection);
}

QWidget* QtPlatform::Widget(Control control) const {
  return window_ == nullptr ? nullptr : window_->control(control);
}

std::string QtPlatform::ControlText(Control control) {
  QWidget* widget = Widget(control);
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
    return edit->text().toStdString();
  }
  if (auto* button = qobject_cast<QPushButton*>(widget)) {
    return button->text().toStdString();
  }
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    return label->text().toStdString();
  }
  return SystemPlatform::ControlText(control);
}

void QtPlatform::SetControlText(Control control, const std::string& text) {
  SystemPlatform::SetControlText(control, text);
  QWidget* widget = Widget(control);
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
    edit->setText(ToQt(text));
  } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
    button->setText(ToQt(text));
  } else if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(ToQt(text));
  }
}

void QtPlatform::SetControlEnabled(Control control, bool enabled) {
  SystemPlatform::SetControlEnabled(control, enabled);
  if (QWidget* widget = Widget(control)) widget->setEnabled(enabled);
}

void QtPlatform::SetControlVisible(Control control, bool visible) {
  SystemPlatform::SetControlVisible(control, visible);
  if (QWidget* widget = Widget(control)) widget->setVisible(visible);
}

void QtPlatform::SetStatusPanel(int index, const std::string& text) {
  SystemPlatform::SetStatusPanel(index, text);
  if (window_ == nullptr) return;
  if (QLabel* panel = window_->status_panel(index)) panel->setText(ToQt(text));
}

}  // namespace norvessa
