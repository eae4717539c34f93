#include "app/window/frm_api_norvessa.h"

#include <QCloseEvent>
#include <QFont>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>

#include "app/window/qt_platform.h"

namespace norvessa {
namespace {

// Tahoma where it is installed, else the closest sans-serif face: a narrow
// one first, so that the texts fit the controls' fixed sizes.
QFont WindowFont(int point_size, bool bold) {
  QFont font;
  font.setFamilies({QStringLiteral("Tahoma"),
                    QStringLiteral("DejaVu Sans Condensed"),
                    QStringLiteral("Liberation Sans Narrow"),
                    QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(point_size);
  font.setBold(bold);
  return font;
}

QIcon ApplicationIcon() {
  QPixmap pixmap(32, 32);
  pixmap.fill(QColor(0x1f, 0x4e, 0x9a));
  QPainter painter(&pixmap);
  painter.setPen(Qt::white);
  painter.setFont(WindowFont(16, true));
  painter.drawText(pixmap.rect(), Qt::AlignCenter, QStringLiteral("N"));
  return QIcon(pixmap);
}

template <typename T>
T* Place(T* widget, const char* name, int left, int top, int width,
         int height) {
  widget->setObjectName(QString::fromLatin1(name));
  widget->setGeometry(left, top, width, height);
  return widget;
}

}  // namespace

FrmAPINorvessa::FrmAPINorvessa(QtPlatform& platform, ServiceHost& host,
                               QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint |
                          Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      form_(platform, host) {
  setObjectName(QStringLiteral("frmAPINorvessa"));
  setWindowTitle(QString::fromUtf8(NorvessaForm::kCaption));
  setWindowIcon(ApplicationIcon());
  setFont(WindowFont(8, false));
  setFixedSize(kClientWidth, kClientHeight);

  label1_ = Place(new QLabel(this), "Label1", 8, 19, 30, 13);
  lb_ip_ = Place(new QLabel(this), "lbIP", 24, 46, 14, 13);
  ed_porta_ = Place(new QLineEdit(this), "edPorta", 40, 16, 33, 21);
  // Restricts typing only: a text set from the settings file stays as is.
  ed_porta_->setValidator(new QRegularExpressionValidator(
      QRegularExpression(QStringLiteral("^\\d{0,4}$")), ed_porta_));
  ed_ip_ = Place(new QLineEdit(this), "edIP", 40, 43, 191, 21);
  bt_start_ = Place(new QPushButton(this), "btStart", 40, 79, 90, 25);
  bt_stop_ = Place(new QPushButton(this), "btStop", 141, 79, 90, 25);
  bt_conectar_ = Place(new QPushButton(this), "btConectar", 320, 19, 257, 85);
  bt_conectar_->setFont(WindowFont(12, true));
  // A banner: blue in every state, the disabled one included.
  QPalette banner = bt_conectar_->palette();
  for (const auto group :
       {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    banner.setColor(group, QPalette::ButtonText, Qt::blue);
  }
  bt_conectar_->setPalette(banner);

  status_bar_ = Place(new QFrame(this), "StatusBar", 0, 124, kClientWidth, 19);
  constexpr std::array<int, kStatusPanels> kWidths = {250, 250, 100};
  int left = 0;
  for (int i = 0; i < kStatusPanels; ++i) {
    // The last panel takes what is left of the window's width.
    const int width = i + 1 < kStatusPanels ? kWidths[i] : kClientWidth - left;
    auto* panel = new QLabel(status_bar_);
    panel->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
    panel->setGeometry(left, 0, width, 19);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setIndent(3);
    panels_[i] = panel;
    left += width;
  }

  connect(bt_start_, &QPushButton::clicked, this,
          [this] { form_.BtStartClick(); });
  connect(bt_stop_, &QPushButton::clicked, this,
          [this] { form_.BtStopClick(); });

  platform.Attach(this);
}

FrmAPINorvessa::~FrmAPINorvessa() = default;

void FrmAPINorvessa::FormCreate() { form_.FormCreate(); }

void FrmAPINorvessa::CenterOnScreen() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  QRect frame = frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  move(frame.topLeft());
}

QWidget* FrmAPINorvessa::control(Control control) const {
  switch (control) {
    case Control::kLabel1:
      return label1_;
    case Control::kLbIP:
      return lb_ip_;
    case Control::kEdPorta:
      return ed_porta_;
    case Control::kEdIP:
      return ed_ip_;
    case Control::kBtStart:
      return bt_start_;
    case Control::kBtStop:
      return bt_stop_;
    case Control::kBtConectar:
      return bt_conectar_;
  }
  return nullptr;
}

QLabel* FrmAPINorvessa::status_panel(int index) const {
  if (index < 0 || index >= kStatusPanels) return nullptr;
  return panels_[index];
}

void FrmAPINorvessa::closeEvent(QCloseEvent* event) {
  form_.FormClose();
  event->accept();
}

}  // namespace norvessa
