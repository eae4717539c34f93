// Pictures of the control window for the operator's documentation: Idle,
// then Running after "Iniciar", each saved as a PNG.
// Usage: norvessa-window-shots <program folder> <output folder>
// The program folder holds Config/Conexao.ini; the service settings come
// from NORVESSA_ROOT as for the service itself.

#include <QApplication>
#include <QPixmap>
#include <QPushButton>
#include <filesystem>
#include <iostream>
#include <string>

#include "app/service_host.h"
#include "app/version.h"
#include "app/window/frm_api_norvessa.h"
#include "app/window/qt_application.h"
#include "app/window/qt_platform.h"
#include "framework/api.h"

namespace {

// The service's own program folder, and messages on stderr: nobody is
// there to dismiss a box.
class ShotsPlatform : public norvessa::QtPlatform {
 public:
  explicit ShotsPlatform(std::string program_dir)
      : program_dir_(std::move(program_dir)) {}
  std::string ProgramFilePath() override {
    return program_dir_ + "/apinorvessa";
  }
  // The service is built together with this program.
  std::optional<norvessa::FileVersion> GetFileVersion(
      const std::string&) override {
    return norvessa::FileVersion{
        norvessa::kVersionMajor, norvessa::kVersionMinor,
        norvessa::kVersionPatch, norvessa::kVersionTweak};
  }
  void ShowMessage(const std::string& text,
                   const std::string& detail) override {
    std::cerr << text << "\n";
    if (!detail.empty()) std::cerr << detail << "\n";
    failed = true;
  }
  void MessageBox(const std::string& text, const std::string& caption,
                  const std::string& detail) override {
    std::cerr << caption << ": " << text << "\n";
    if (!detail.empty()) std::cerr << detail << "\n";
    failed = true;
  }
  bool failed = false;

 private:
  std::string program_dir_;
};

bool Save(QWidget& window, const std::string& file) {
  for (int i = 0; i < 20; ++i) QApplication::processEvents();
  if (!window.grab().save(QString::fromStdString(file), "PNG")) {
    std::cerr << "cannot write " << file << "\n";
    return false;
  }
  std::cout << file << "\n";
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "Usage: norvessa-window-shots <program folder> <output "
                 "folder>\n";
    return 2;
  }
  const std::string program_dir = std::filesystem::absolute(argv[1]).string();
  const std::string out_dir = argv[2];
  if (!norvessa::DisplayAvailable()) {
    std::cerr << "norvessa-window-shots: no display (run it under xvfb-run)\n";
    return 1;
  }
  auto app = norvessa::CreateQtApplication(argc, argv);
  ShotsPlatform platform(program_dir);
  norvessa::ServiceHost host(norvessa::GetDefaultApi());
  int result = 0;
  {
    norvessa::FrmAPINorvessa window(platform, host);
    window.FormCreate();
    window.show();
    if (platform.failed || !Save(window, out_dir + "/window-idle.png")) {
      result = 1;
    } else {
      window.bt_start()->click();
      if (platform.failed || !host.IsRunning() ||
          !Save(window, out_dir + "/window-running.png")) {
        result = 1;
      }
    }
    window.close();
  }
  host.Shutdown();
  return result;
}
