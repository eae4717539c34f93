#include "app/window/qt_application.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "app/process_locale.h"
#include "app/service_host.h"
#include "app/version.h"
#include "app/window/frm_api_norvessa.h"
#include "app/window/qt_platform.h"
#include "framework/api.h"

namespace norvessa {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

// ":0", ":0.0", "unix:1" name a local X server listening on
// /tmp/.X11-unix/X<n>.
bool LocalXDisplayExists(const std::string& display) {
  std::string rest = display;
  if (rest.rfind("unix:", 0) == 0) {
    rest = rest.substr(4);
  } else if (rest.empty() || rest[0] != ':') {
    return true;  // host:n is reached over the network; let Qt try
  }
  rest = rest.substr(1);
  const std::string number = rest.substr(0, rest.find('.'));
  if (number.empty() ||
      number.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  struct stat info {};
  return ::stat(("/tmp/.X11-unix/X" + number).c_str(), &info) == 0;
}

}  // namespace

bool DisplayAvailable() {
  const std::string platform = Env("QT_QPA_PLATFORM");
  if (!platform.empty() && platform.rfind("xcb", 0) != 0 &&
      platform.rfind("wayland", 0) != 0) {
    return true;  // offscreen, vnc, eglfs and the like need no display
  }
  if (platform.rfind("xcb", 0) != 0 && !Env("WAYLAND_DISPLAY").empty()) {
    return true;
  }
  const std::string display = Env("DISPLAY");
  return !display.empty() && LocalXDisplayExists(display);
}

std::unique_ptr<QApplication> CreateQtApplication(int& argc, char** argv) {
  auto app = std::make_unique<QApplication>(argc, argv);
  // The application object has just set the whole locale from LANG: JSON
  // numbers, SQL values and log lines never take a decimal comma from it,
  // and the drivers' narrow text stays UTF-8.
  UseServiceLocale();
  QApplication::setApplicationName(QStringLiteral("APINorvessa"));
  QApplication::setApplicationVersion(QString::fromLatin1(kVersionText));
  return app;
}

void BlockStopSignals() {
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignalNotifier::StopSignalNotifier(std::function<void(int)> on_signal,
                                       QObject* parent)
    : QObject(parent), on_signal_(std::move(on_signal)) {
  const sigset_t set = StopSignals();
  fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ < 0) {
    std::cerr << "apinorvessa: cannot watch SIGTERM and SIGINT: "
              << std::strerror(errno) << std::endl;
    return;
  }
  notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this,
          [this] { ReadSignal(); });
}

StopSignalNotifier::~StopSignalNotifier() {
  if (fd_ >= 0) ::close(fd_);
}

void StopSignalNotifier::ReadSignal() {
  signalfd_siginfo info{};
  while (::read(fd_, &info, sizeof(info)) == sizeof(info)) {
    on_signal_(static_cast<int>(info.ssi_signo));
  }
}

int RunWindow(int& argc, char** argv) {
  if (!DisplayAvailable()) {
    std::cerr << "apinorvessa: no display is available for the control "
                 "window (DISPLAY is not set or names no running X server).\n"
                 "Run the service without a window: apinorvessa --headless\n";
    return 1;
  }
  // Signals are taken on the event loop only, also once the server's
  // threads run.
  BlockStopSignals();
  signal(SIGPIPE, SIG_IGN);
  auto app = CreateQtApplication(argc, argv);

  int exit_code = 0;
  {
    QtPlatform platform;
    ServiceHost host(GetDefaultApi());
    FrmAPINorvessa window(platform, host);
    window.FormCreate();
    if (platform.Terminated()) {
      host.Shutdown();
      return 1;
    }
    StopSignalNotifier stop([&window](int signal_number) {
      std::cerr << "APINorvessa closing (" << strsignal(signal_number) << ")"
                << std::endl;
      window.close();
    });
    window.CenterOnScreen();
    window.show();
    exit_code = QApplication::exec();
    // The loop also ends without a close event (the end of the program
    // asked by a failed start): the server stops either way.
    window.form().FormClose();
    host.Shutdown();
  }
  return exit_code;
}

}  // namespace norvessa
