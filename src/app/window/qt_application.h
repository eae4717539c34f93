#ifndef NORVESSA_APP_WINDOW_QT_APPLICATION_H_
#define NORVESSA_APP_WINDOW_QT_APPLICATION_H_

#include <QObject>
#include <functional>
#include <memory>

class QApplication;
class QSocketNotifier;

namespace norvessa {

// Whether a window can be shown: a Qt platform named in QT_QPA_PLATFORM, a
// Wayland display, or an X display whose local socket exists (a display on
// another host is trusted). Constructing the application without one
// aborts the process, so this is asked first.
bool DisplayAvailable();

// The application object, with numbers formatted and read the C way
// whatever the environment's locale: Qt sets the process locale from LANG
// when it starts.
std::unique_ptr<QApplication> CreateQtApplication(int& argc, char** argv);

// Blocks SIGTERM and SIGINT in this thread and every thread it starts
// afterwards; call before any thread exists.
void BlockStopSignals();

// Calls `on_signal` on the event loop's thread when SIGTERM or SIGINT
// arrives (BlockStopSignals first).
class StopSignalNotifier : public QObject {
  Q_OBJECT

 public:
  explicit StopSignalNotifier(std::function<void(int)> on_signal,
                              QObject* parent = nullptr);
  ~StopSignalNotifier() override;

 private:
  void ReadSignal();

  int fd_ = -1;
  std::function<void(int)> on_signal_;
  QSocketNotifier* notifier_ = nullptr;
};

// The program with its control window; returns the exit code.
int RunWindow(int& argc, char** argv);

}  // namespace norvessa

#endif  // NORVESSA_APP_WINDOW_QT_APPLICATION_H_
