// The program entry: the control window, or with --headless the same
// start sequence without one, for servers.

#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <string>

#include "app/headless_platform.h"
#include "app/norvessa_form.h"
#include "app/process_locale.h"
#include "app/service_host.h"
#include "app/version.h"
#include "app/window/qt_application.h"
#include "framework/api.h"

namespace {

constexpr const char* kUsage =
    "Usage: apinorvessa [--headless]\n"
    "\n"
    "Serves the APINorvessa JSON API. Without options it opens the control\n"
    "window (\"Iniciar\" starts the server, closing the window ends the\n"
    "program); --headless runs the start sequence at once (as if\n"
    "\"Iniciar\" were pressed) and stops on SIGTERM or SIGINT.\n"
    "\n"
    "  --headless  run without the window (servers, services)\n"
    "  --version   print the version\n"
    "  --help      print this text\n"
    "\n"
    "Settings: Config/Conexao.ini beside the program, and\n"
    "$NORVESSA_ROOT/Norvessa/Config/Norvessa.ini (without NORVESSA_ROOT,\n"
    "the mount point of the program's filesystem stands for the root).\n";

int RunHeadless() {
  // Every thread inherits the blocked signals; only sigwait takes them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  norvessa::HeadlessPlatform platform;
  norvessa::ServiceHost host(norvessa::GetDefaultApi());
  norvessa::NorvessaForm form(platform, host);

  form.FormCreate();
  if (platform.Terminated()) return 1;
  form.BtStartClick();
  if (platform.Terminated() || !host.IsRunning()) {
    host.Shutdown();
    return 1;
  }
  std::cerr << "APINorvessa " << norvessa::kVersionText << " listening on port "
            << host.api().port() << " (all local addresses)\n"
            << "  " << platform.StatusPanel(0) << " | "
            << platform.StatusPanel(1) << " | " << platform.StatusPanel(2)
            << std::endl;

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  std::cerr << "APINorvessa stopping (" << strsignal(signal_number) << ")"
            << std::endl;
  form.FormClose();
  host.Shutdown();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Headless, nothing else sets the locale; with the window, the
  // application object resets it and sets this again.
  norvessa::UseServiceLocale();
  bool headless = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--version") {
      std::cout << "APINorvessa " << norvessa::kVersionText << "\n";
      return 0;
    }
    if (arg == "--headless") {
      headless = true;
    } else {
      std::cerr << "apinorvessa: unknown option " << arg << "\n\n" << kUsage;
      return 1;
    }
  }
  if (!headless) return norvessa::RunWindow(argc, argv);
  return RunHeadless();
}
