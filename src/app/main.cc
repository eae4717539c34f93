// The program entry: the control window, or with --headless the same
// start sequence without one, for servers.

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "app/admin_server.h"
#include "app/headless_platform.h"
#include "app/norvessa_form.h"
#include "app/openapi.h"
#include "app/process_locale.h"
#include "app/service_host.h"
#include "app/settings_check.h"
#include "app/version.h"
#include "app/window/qt_application.h"
#include "framework/api.h"

namespace {

constexpr const char* kUsage =
    "Usage: apinorvessa [--headless | --check | --openapi]\n"
    "\n"
    "Serves the APINorvessa JSON API. Without options it opens the control\n"
    "window (\"Iniciar\" starts the server, closing the window ends the\n"
    "program); --headless runs the start sequence at once (as if\n"
    "\"Iniciar\" were pressed) and stops on SIGTERM or SIGINT.\n"
    "\n"
    "  --headless  run without the window (servers, services)\n"
    "  --check     check the settings and the database, print what was\n"
    "              found and each problem; exit 1 when the service could\n"
    "              not start\n"
    "  --openapi   print the OpenAPI description of the routes\n"
    "  --version   print the version\n"
    "  --help      print this text\n"
    "\n"
    "Settings: Config/Conexao.ini beside the program, and\n"
    "$NORVESSA_ROOT/Norvessa/Config/Norvessa.ini (without NORVESSA_ROOT,\n"
    "the mount point of the program's filesystem stands for the root).\n";

// The signals the headless service takes on a thread of its own: the two
// that stop it, and SIGHUP, which would otherwise end it on the spot
// (systemd counts that as a clean exit and would not restart it).
sigset_t StopSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

void WriteStderr(const std::string& text) {
  const ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
  (void)ignored;
}

// SIGTERM and SIGINT, taken by a thread of their own from the first
// moment. While the start runs (a connect may sit in a driver that never
// returns) a signal ends the process at once with status 1; once the
// server runs, it is handed to the stop sequence.
class StopSignals {
 public:
  // Call before any other thread exists: every thread inherits the
  // blocked signals, and only this one takes them.
  StopSignals() {
    const sigset_t set = StopSignalSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    thread_ = std::thread([this] { Run(); });
  }
  ~StopSignals() {
    {
      std::lock_guard lock(mutex_);
      leaving_ = true;
    }
    pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // The server runs: from now on a signal stops it.
  void Started() {
    std::lock_guard lock(mutex_);
    started_ = true;
  }

  // The first signal after Started.
  int Wait() {
    std::unique_lock lock(mutex_);
    received_.wait(lock, [this] { return signal_ != 0; });
    return signal_;
  }

 private:
  void Run() {
    const sigset_t set = StopSignalSet();
    while (true) {
      int number = 0;
      if (sigwait(&set, &number) != 0) continue;
      std::lock_guard lock(mutex_);
      if (leaving_) return;
      if (number == SIGHUP) {
        // No settings are read again while serving: a reload would be a
        // promise the service cannot keep.
        WriteStderr(
            "APINorvessa ignores SIGHUP: settings are read at start; restart "
            "the service to apply changed ones\n");
        continue;
      }
      if (!started_) {
        // Nothing serves yet and the start may be stuck where it cannot
        // be interrupted: leave without it.
        WriteStderr("APINorvessa stopping (" + std::string(strsignal(number)) +
                    ") before the start finished\n");
        _exit(1);
      }
      if (signal_ == 0) {
        signal_ = number;
        received_.notify_all();
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable received_;
  bool started_ = false;
  bool leaving_ = false;
  int signal_ = 0;
  std::thread thread_;
};

// Set when a stop left a request handler running: the process must end
// without joining it.
bool handlers_left = false;

int RunHeadless() {
  StopSignals stop_signals;
  signal(SIGPIPE, SIG_IGN);

  norvessa::HeadlessPlatform platform;
  norvessa::ServiceHost host(norvessa::GetDefaultApi());
  norvessa::NorvessaForm form(platform, host);

  form.FormCreate();
  if (platform.Terminated()) return 1;
  form.BtStartClick();
  if (platform.Terminated() || !host.IsRunning()) {
    handlers_left = !host.Shutdown();
    return 1;
  }
  stop_signals.Started();
  std::cerr << "APINorvessa " << norvessa::kVersionText << " listening on port "
            << host.api().port()
            << (host.api().host() == norvessa::Api::kDefaultHost
                    ? std::string(" (all local addresses)")
                    : " on " + host.api().host());
  if (const norvessa::AdminServer* admin = host.admin()) {
    std::cerr << ", operators' port " << admin->port();
  }
  std::cerr << "\n"
            << "  " << platform.StatusPanel(0) << " | "
            << platform.StatusPanel(1) << " | " << platform.StatusPanel(2)
            << std::endl;

  const int signal_number = stop_signals.Wait();
  std::cerr << "APINorvessa stopping (" << strsignal(signal_number) << ")"
            << std::endl;
  form.FormClose();
  handlers_left = !host.Shutdown();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Signals an operator may send by habit never end the service: SIGUSR1
  // and SIGUSR2 mean nothing here.
  signal(SIGUSR1, SIG_IGN);
  signal(SIGUSR2, SIG_IGN);
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
    if (arg == "--check") {
      norvessa::HeadlessPlatform platform;
      const int code = norvessa::RunSettingsCheck(platform, std::cout);
      std::cout.flush();
      return code;
    }
    if (arg == "--openapi") {
      std::cout << norvessa::OpenApiDocument() << "\n";
      return 0;
    }
    if (arg == "--headless") {
      headless = true;
    } else {
      std::cerr << "apinorvessa: unknown option " << arg << "\n\n" << kUsage;
      return 1;
    }
  }
  if (!headless) {
    // The window's terminal going away is no reason to stop serving.
    signal(SIGHUP, SIG_IGN);
  }
  const int code = headless ? RunHeadless() : norvessa::RunWindow(argc, argv);
  if (norvessa::ServiceHost::AbandonedConnects() > 0 ||
      norvessa::ConnectionPool::ConnectsLeftRunning() > 0 ||
      norvessa::ReadyProbe::AbandonedChecks() > 0 || handlers_left) {
    // A thread still sits in a driver or a handler: static destructors
    // must not run beneath it, and it cannot be joined.
    std::cout.flush();
    _exit(code);
  }
  return code;
}
