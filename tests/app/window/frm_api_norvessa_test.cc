#include "app/window/frm_api_norvessa.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QValidator>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/ini_file.h"
#include "app/service_host.h"
#include "app/version.h"
#include "app/window/qt_application.h"
#include "app/window/qt_platform.h"
#include "controllers/cidade_controller.h"
#include "support/http_client.h"
#include "support/temp_database.h"
#include "support/test_server.h"

namespace norvessa {
namespace {

// The Qt platform in a temporary folder (program in bin/, settings root in
// root/); boxes are recorded instead of shown, where a real one would wait
// for an operator.
class TestQtPlatform : public QtPlatform {
 public:
  explicit TestQtPlatform(std::string base) : base_(std::move(base)) {}

  std::string ProgramFilePath() override { return base_ + "/bin/apinorvessa"; }
  std::string DriveRoot() override { return base_ + "/root"; }
  void ShowMessage(const std::string& text, const std::string&) override {
    messages.push_back(text);
  }
  void MessageBox(const std::string& text, const std::string& caption,
                  const std::string&) override {
    messages.push_back(text + " | " + caption);
  }
  std::optional<FileVersion> GetFileVersion(const std::string&) override {
    return FileVersion{kVersionMajor, kVersionMinor, kVersionPatch,
                       kVersionTweak};
  }

  std::vector<std::string> messages;

 private:
  std::string base_;
};

constexpr const char* kErp = R"(
  CREATE TABLE Empresa (IdEmpresa VARCHAR(10) PRIMARY KEY, NomeFantasia VARCHAR(60));
  INSERT INTO Empresa VALUES ('1', 'Norvessa Confec' || char(231) || char(245) || 'es');
  CREATE TABLE Uf (IdUf INTEGER PRIMARY KEY, Uf VARCHAR(2), UfNome VARCHAR(50),
                   Situacao INTEGER);
  INSERT INTO Uf VALUES (35, 'SP', 'S' || char(227) || 'o Paulo', 1);
)";

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The window over an ERP fixture, listening on a free port once started.
struct Desk {
  Desk() : platform(db.dir()), host(api, CidadeController::Registry) {
    std::filesystem::create_directories(db.dir() + "/bin/Config");
    std::filesystem::create_directories(db.dir() + "/root/Norvessa/Config");
    port = testing::FreePortForAProgram();
    WriteFile(settings_file, "[API]\nPorta=" + std::to_string(port) +
                                 "\nIP=http://10.0.0.5\nEmpresa=1\n");
    WriteFile(
        db.dir() + "/bin/Config/Conexao.ini",
        "[SERVER]\nDRIVER=SQLite\nHOSTNAME=localhost\nBANCO=../test.db\n");
  }
  ~Desk() { host.Shutdown(); }

  testing::TempDatabase db{kErp};
  TestQtPlatform platform;
  Api api{testing::TestServer::ShortLimits()};
  ServiceHost host;
  std::uint16_t port = 0;
  std::string settings_file = db.dir() + "/root/Norvessa/Config/Norvessa.ini";
};

struct Expected {
  Control control;
  const char* name;
  QRect geometry;
  const char* text;
  bool enabled;
  bool hidden;
};

QString TextOf(QWidget* widget) {
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text();
  if (auto* button = qobject_cast<QPushButton*>(widget)) return button->text();
  if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
  return {};
}

void ExpectControls(FrmAPINorvessa& window,
                    const std::vector<Expected>& expected) {
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.name);
    QWidget* widget = window.control(e.control);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->objectName().toStdString(), e.name);
    EXPECT_EQ(widget->geometry(), e.geometry);
    EXPECT_EQ(TextOf(widget).toStdString(), e.text);
    EXPECT_EQ(widget->isEnabled(), e.enabled);
    EXPECT_EQ(widget->isHidden(), e.hidden);
  }
}

void ExpectPanels(FrmAPINorvessa& window,
                  const std::vector<std::string>& texts) {
  for (int i = 0; i < FrmAPINorvessa::kStatusPanels; ++i) {
    EXPECT_EQ(window.status_panel(i)->text().toStdString(), texts[i]) << i;
  }
}

TEST(WindowTest, CreatedIdle) {
  Desk d;
  FrmAPINorvessa window(d.platform, d.host);
  window.FormCreate();
  EXPECT_TRUE(d.platform.messages.empty());

  EXPECT_EQ(window.windowTitle().toStdString(), "API Norvessa");
  EXPECT_EQ(window.size(), QSize(594, 143));
  EXPECT_EQ(window.minimumSize(), window.maximumSize());
  EXPECT_TRUE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(window.windowFlags() & Qt::WindowSystemMenuHint);
  EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(window.font().pointSize(), 8);
  EXPECT_EQ(window.font().family().toStdString(), "Tahoma");
  // Where Tahoma is missing, a sans-serif face of the same size draws.
  EXPECT_EQ(QFontInfo(window.font()).pointSize(), 8);
  const QFont banner = window.bt_conectar()->font();
  EXPECT_EQ(banner.pointSize(), 12);
  EXPECT_TRUE(banner.bold());
  EXPECT_EQ(window.bt_conectar()->palette().color(QPalette::Disabled,
                                                  QPalette::ButtonText),
            QColor(Qt::blue));

  const std::string port = std::to_string(d.port);
  ExpectControls(window, {{Control::kLabel1, "Label1", QRect(8, 19, 30, 13),
                           "Porta:", true, false},
                          {Control::kLbIP, "lbIP", QRect(24, 46, 14, 13),
                           "IP:", true, false},
                          {Control::kEdPorta, "edPorta", QRect(40, 16, 33, 21),
                           port.c_str(), true, false},
                          {Control::kEdIP, "edIP", QRect(40, 43, 191, 21),
                           "http://10.0.0.5", true, false},
                          {Control::kBtStart, "btStart", QRect(40, 79, 90, 25),
                           "Iniciar", true, false},
                          {Control::kBtStop, "btStop", QRect(141, 79, 90, 25),
                           "Parar", false, false},
                          {Control::kBtConectar, "btConectar",
                           QRect(320, 19, 257, 85), "Conectar", true, true}});
  EXPECT_EQ(window.status_bar()->geometry(), QRect(0, 124, 594, 19));
  EXPECT_EQ(window.status_panel(0)->geometry(), QRect(0, 0, 250, 19));
  EXPECT_EQ(window.status_panel(1)->geometry(), QRect(250, 0, 250, 19));
  EXPECT_EQ(window.status_panel(2)->geometry().left(), 500);
  ExpectPanels(window, {"Empresa", "Conexão", "Versão"});
}

TEST(WindowTest, IniciarPararAndClose) {
  Desk d;
  FrmAPINorvessa window(d.platform, d.host);
  window.FormCreate();
  window.show();
  window.ed_ip()->setText(QStringLiteral("http://192.168.0.9"));
  window.bt_start()->click();
  EXPECT_TRUE(d.platform.messages.empty());
  ASSERT_TRUE(d.host.IsRunning());
  const std::string port = std::to_string(d.port);
  const std::vector<Expected> running = {
      {Control::kEdPorta, "edPorta", QRect(40, 16, 33, 21), port.c_str(), false,
       false},
      {Control::kEdIP, "edIP", QRect(40, 43, 191, 21), "http://192.168.0.9",
       false, false},
      {Control::kBtStart, "btStart", QRect(40, 79, 90, 25), "Iniciar", false,
       false},
      {Control::kBtStop, "btStop", QRect(141, 79, 90, 25), "Parar", true,
       false},
      {Control::kBtConectar, "btConectar", QRect(320, 19, 257, 85),
       "CONECTADO...", false, false}};
  ExpectControls(window, running);
  ExpectPanels(window, {"Norvessa Confecções", "../test.db / localhost",
                        "Versão: " + std::string(kVersionText)});
  EXPECT_EQ(ReadIniString(d.settings_file, "API", "IP", ""),
            "http://192.168.0.9");
  EXPECT_EQ(testing::Request(d.port, "POST", "/estados").body,
            R"([{"iduf":35,"uf":"SP","ufnome":"S\u00E3o Paulo"}])");

  window.bt_stop()->click();
  EXPECT_FALSE(d.host.IsRunning());
  ExpectControls(
      window, {{Control::kEdPorta, "edPorta", QRect(40, 16, 33, 21),
                port.c_str(), true, false},
               {Control::kEdIP, "edIP", QRect(40, 43, 191, 21),
                "http://192.168.0.9", true, false},
               {Control::kBtStart, "btStart", QRect(40, 79, 90, 25), "Iniciar",
                true, false},
               {Control::kBtStop, "btStop", QRect(141, 79, 90, 25), "Parar",
                false, false},
               {Control::kBtConectar, "btConectar", QRect(320, 19, 257, 85),
                "CONECTADO...", false, true}});
  ExpectPanels(window, {"Norvessa Confecções", "../test.db / localhost",
                        "Versão: " + std::string(kVersionText)});

  // Started again, then the window closes: the server stops with it.
  window.bt_start()->click();
  ASSERT_TRUE(d.host.IsRunning());
  ExpectControls(window, running);
  EXPECT_TRUE(window.close());
  EXPECT_FALSE(d.host.IsRunning());
  EXPECT_TRUE(d.platform.messages.empty());
}

TEST(WindowTest, FailedStartKeepsTheButtons) {
  Desk d;
  testing::BoundSocket taken;
  WriteFile(d.settings_file,
            "[API]\nPorta=" + std::to_string(taken.port()) + "\n");
  FrmAPINorvessa window(d.platform, d.host);
  window.FormCreate();
  EXPECT_EQ(window.ed_ip()->text().toStdString(), "");
  window.bt_start()->click();
  ASSERT_EQ(d.platform.messages.size(), 1u);
  EXPECT_NE(d.platform.messages[0].find("Could not listen on 0.0.0.0:"),
            std::string::npos)
      << d.platform.messages[0];
  EXPECT_NE(d.platform.messages[0].find(" | APINorvessa"), std::string::npos);
  EXPECT_FALSE(d.host.IsRunning());
  const std::string port = std::to_string(taken.port());
  ExpectControls(
      window, {{Control::kEdPorta, "edPorta", QRect(40, 16, 33, 21),
                port.c_str(), true, false},
               {Control::kBtStart, "btStart", QRect(40, 79, 90, 25), "Iniciar",
                true, false},
               {Control::kBtStop, "btStop", QRect(141, 79, 90, 25), "Parar",
                false, false},
               {Control::kBtConectar, "btConectar", QRect(320, 19, 257, 85),
                "CONECTADO...", false, false}});
  ExpectPanels(window, {"Norvessa Confecções", "../test.db / localhost",
                        "Versão: " + std::string(kVersionText)});
}

TEST(WindowTest, FailuresThatEndTheProgram) {
  struct Case {
    const char* name;
    std::function<void(Desk&)> arrange;
    std::string message;
  };
  const Case cases[] = {
      {"service settings file missing",
       [](Desk& d) { std::filesystem::remove(d.settings_file); },
       "Arquivo Norvessa.ini não foi encontrado!"},
      {"connection settings file missing",
       [](Desk& d) {
         std::filesystem::remove(d.db.dir() + "/bin/Config/Conexao.ini");
       },
       "Arquivo CONEXAO.INI não foi encontrado! | Arquivo INI deve estar na "
       "Pasta Config"},
      {"unreachable database",
       [](Desk& d) {
         WriteFile(d.db.dir() + "/bin/Config/Conexao.ini",
                   "[SERVER]\nDRIVER=SQLite\nHOSTNAME=x\nBANCO=../none.db\n");
       },
       "Não foi Possível Conectar ao Banco de Dados..."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Desk d;
    c.arrange(d);
    FrmAPINorvessa window(d.platform, d.host);
    window.FormCreate();
    if (!d.platform.Terminated()) window.bt_start()->click();
    EXPECT_EQ(d.platform.messages, std::vector<std::string>{c.message});
    EXPECT_TRUE(d.platform.Terminated());
    EXPECT_FALSE(d.host.IsRunning());
    // The end of the program is asked of the event loop, which leaves at
    // once with exit code 1.
    EXPECT_EQ(QApplication::exec(), 1);
  }
}

TEST(WindowTest, PortValidatorRestrictsTypingOnly) {
  Desk d;
  WriteFile(d.settings_file, "[API]\nPorta=123456\nIP=\n");
  FrmAPINorvessa window(d.platform, d.host);
  window.FormCreate();
  // A value from the settings file stays as it is written.
  EXPECT_EQ(window.ed_porta()->text().toStdString(), "123456");
  const QValidator* validator = window.ed_porta()->validator();
  ASSERT_NE(validator, nullptr);
  const struct {
    const char* text;
    QValidator::State state;
  } cases[] = {{"", QValidator::Acceptable},     {"0", QValidator::Acceptable},
               {"9000", QValidator::Acceptable}, {"90000", QValidator::Invalid},
               {"90a", QValidator::Invalid},     {"-1", QValidator::Invalid},
               {" 90", QValidator::Invalid}};
  for (const auto& c : cases) {
    QString text = QString::fromLatin1(c.text);
    int position = 0;
    EXPECT_EQ(validator->validate(text, position), c.state) << c.text;
  }
  // Typing goes through the validator.
  window.ed_porta()->clear();
  for (const char key : std::string("12a345")) {
    window.ed_porta()->insert(QString(QChar::fromLatin1(key)));
  }
  EXPECT_EQ(window.ed_porta()->text().toStdString(), "1234");
}

// The real boxes, closed by a timer the way an operator would: caption,
// text and the details behind "Show Details...".
TEST(WindowTest, MessageBoxesShowTheExactTextsAndTheirDetails) {
  QtPlatform platform;
  std::vector<std::vector<std::string>> shown;
  const auto close_box = [&shown] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    shown.push_back({box->windowTitle().toStdString(),
                     box->text().toStdString(),
                     box->detailedText().toStdString()});
    box->accept();
  };
  QTimer::singleShot(0, close_box);
  platform.ShowMessage("Arquivo Norvessa.ini não foi encontrado!",
                       "Looked for /srv/Norvessa/Config/Norvessa.ini");
  QTimer::singleShot(0, close_box);
  platform.MessageBox("Arquivo CONEXAO.INI não foi encontrado!",
                      "Arquivo INI deve estar na Pasta Config", "");
  const std::vector<std::vector<std::string>> expected = {
      {"APINorvessa", "Arquivo Norvessa.ini não foi encontrado!",
       "Looked for /srv/Norvessa/Config/Norvessa.ini"},
      {"Arquivo INI deve estar na Pasta Config",
       "Arquivo CONEXAO.INI não foi encontrado!", ""}};
  EXPECT_EQ(shown, expected);
}

}  // namespace
}  // namespace norvessa

int main(int argc, char** argv) {
  // Never a real display, whatever the machine has.
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  testing::InitGoogleTest(&argc, argv);
  auto app = norvessa::CreateQtApplication(argc, argv);
  return RUN_ALL_TESTS();
}
