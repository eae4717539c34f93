#include "app/norvessa_form.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/ini_file.h"
#include "app/program_paths.h"
#include "app/system_platform.h"
#include "app/version.h"
#include "controllers/cidade_controller.h"
#include "db/driver_error.h"
#include "support/http_client.h"
#include "support/temp_database.h"
#include "support/test_server.h"

namespace norvessa {
namespace {

// The machine as the window logic sees it, in a temporary folder: the
// program in bin/, the settings root in root/, messages recorded.
class FakePlatform : public SystemPlatform {
 public:
  explicit FakePlatform(std::string base) : base_(std::move(base)) {}

  std::string ProgramFilePath() override { return base_ + "/bin/apinorvessa"; }
  std::string DriveRoot() override { return base_ + "/root"; }
  void WriteIniString(const std::string& path, const std::string& section,
                      const std::string& key,
                      const std::string& value) override {
    if (fail_writes) throw std::runtime_error("Unable to write to " + path);
    SystemPlatform::WriteIniString(path, section, key, value);
  }
  void ShowMessage(const std::string& text,
                   const std::string& detail) override {
    messages.push_back(text);
    details.push_back(detail);
  }
  void MessageBox(const std::string& text, const std::string& caption,
                  const std::string& detail) override {
    messages.push_back(text + " | " + caption);
    details.push_back(detail);
  }
  std::optional<FileVersion> GetFileVersion(const std::string& path) override {
    if (!has_version || path != ProgramFilePath()) return std::nullopt;
    return FileVersion{kVersionMajor, kVersionMinor, kVersionPatch,
                       kVersionTweak};
  }

  std::vector<std::string> messages;
  // What each message's details say, in the same order.
  std::vector<std::string> details;
  bool fail_writes = false;
  bool has_version = true;

 private:
  std::string base_;
};

constexpr const char* kErp = R"(
  CREATE TABLE Empresa (IdEmpresa VARCHAR(10) PRIMARY KEY, NomeFantasia VARCHAR(60));
  INSERT INTO Empresa VALUES ('1', 'Norvessa Confec' || char(231) || char(245) || 'es'),
                             ('1''2', 'Aspas Ltda');
  CREATE TABLE Uf (IdUf INTEGER PRIMARY KEY, Uf VARCHAR(2), UfNome VARCHAR(50),
                   Situacao INTEGER);
  INSERT INTO Uf VALUES (35, 'SP', 'S' || char(227) || 'o Paulo', 1);
)";

std::uint16_t FreePort() { return testing::FreePortForAProgram(); }

// A program folder, a settings root and an ERP database, with the window
// logic on a fake platform.
struct World {
  World() : db_(kErp), platform_(db_.dir()), host_(api_, Resources()) {
    std::filesystem::create_directories(db_.dir() + "/bin/Config");
    std::filesystem::create_directories(db_.dir() + "/root/Norvessa/Config");
    port_ = FreePort();
    WriteFile(settings_file_, "[API]\r\nPorta=" + std::to_string(port_) +
                                  "\r\nIP=http://10.0.0.5\r\n");
    WriteFile(
        connection_file_,
        "[SERVER]\nDRIVER=SQLite\nHOSTNAME=localhost\nBANCO=../test.db\n");
  }
  ~World() { host_.Shutdown(); }

  // The cities and states resource, counting how often handlers run.
  ServiceHost::Resources Resources() {
    return [this](ApiCore& api, ConnectionPool& pool) {
      CidadeController::Registry(api, pool);
      api.Get("/count", [this](ApiRequest&, ApiResponse& res,
                               const std::function<void()>&) {
        res.Send(std::to_string(++handler_runs_));
      });
    };
  }

  static void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }

  void ExpectIdleButtons() {
    EXPECT_TRUE(platform_.ControlEnabled(Control::kBtStart));
    EXPECT_TRUE(platform_.ControlEnabled(Control::kEdPorta));
    EXPECT_TRUE(platform_.ControlEnabled(Control::kEdIP));
    EXPECT_FALSE(platform_.ControlEnabled(Control::kBtStop));
  }

  testing::TempDatabase db_;
  FakePlatform platform_;
  Api api_{testing::TestServer::ShortLimits()};
  ServiceHost host_;
  NorvessaForm form_{platform_, host_};
  std::atomic<int> handler_runs_{0};
  std::uint16_t port_ = 0;
  std::string settings_file_ = db_.dir() + "/root/Norvessa/Config/Norvessa.ini";
  std::string connection_file_ = db_.dir() + "/bin/Config/Conexao.ini";
};

TEST(FormTest, IdleRunningStoppedAndStartedAgain) {
  World w;
  auto& platform_ = w.platform_;
  auto& form_ = w.form_;
  auto& host_ = w.host_;
  const auto port_ = w.port_;
  const auto& settings_file_ = w.settings_file_;
  form_.FormCreate();
  // Idle: the texts of the settings file, the banner hidden.
  EXPECT_EQ(platform_.ControlText(Control::kEdPorta), std::to_string(port_));
  EXPECT_EQ(platform_.ControlText(Control::kEdIP), "http://10.0.0.5");
  w.ExpectIdleButtons();
  EXPECT_FALSE(platform_.ControlVisible(Control::kBtConectar));
  EXPECT_EQ(platform_.StatusPanel(0), "Empresa");
  EXPECT_EQ(platform_.StatusPanel(1), "Conexão");
  EXPECT_EQ(platform_.StatusPanel(2), "Versão");

  // Running.
  platform_.SetControlText(Control::kEdIP, "http://192.168.0.9");
  form_.BtStartClick();
  EXPECT_TRUE(platform_.messages.empty());
  EXPECT_TRUE(host_.IsRunning());
  EXPECT_FALSE(platform_.ControlEnabled(Control::kBtStart));
  EXPECT_FALSE(platform_.ControlEnabled(Control::kEdPorta));
  EXPECT_FALSE(platform_.ControlEnabled(Control::kEdIP));
  EXPECT_TRUE(platform_.ControlEnabled(Control::kBtStop));
  EXPECT_TRUE(platform_.ControlVisible(Control::kBtConectar));
  EXPECT_FALSE(platform_.ControlEnabled(Control::kBtConectar));
  EXPECT_EQ(platform_.ControlText(Control::kBtConectar), "CONECTADO...");
  EXPECT_EQ(platform_.StatusPanel(0), "Norvessa Confecções");
  EXPECT_EQ(platform_.StatusPanel(1), "../test.db / localhost");
  EXPECT_EQ(platform_.StatusPanel(2), "Versão: 1.0.0.0");
  EXPECT_EQ(ReadIniString(settings_file_, "API", "IP", ""),
            "http://192.168.0.9");
  // The IP text takes no part: the server answers on loopback.
  EXPECT_EQ(testing::Request(port_, "POST", "/estados").body,
            R"([{"iduf":35,"uf":"SP","ufnome":"S\u00E3o Paulo"}])");

  // Stopped: buttons back, banner hidden, panels kept.
  form_.BtStopClick();
  EXPECT_FALSE(host_.IsRunning());
  w.ExpectIdleButtons();
  EXPECT_FALSE(platform_.ControlVisible(Control::kBtConectar));
  EXPECT_EQ(platform_.StatusPanel(0), "Norvessa Confecções");

  // A second start never runs a handler twice.
  form_.BtStartClick();
  EXPECT_TRUE(host_.IsRunning());
  EXPECT_TRUE(platform_.ControlVisible(Control::kBtConectar));
  EXPECT_EQ(testing::Request(port_, "GET", "/count").body, "1");
  EXPECT_EQ(testing::Request(port_, "GET", "/count").body, "2");

  form_.FormClose();
  EXPECT_FALSE(host_.IsRunning());
  EXPECT_FALSE(platform_.Terminated());
}

TEST(FormTest, FailuresShowTheirMessages) {
  // SETTINGS and CONNECTION stand for the two files' paths; `detail` is
  // part of what the message's details say.
  struct Case {
    const char* name;
    std::function<void(World&)> arrange;
    std::string message;
    std::string detail;
    bool terminated;
  };
  const Case cases[] = {
      {"service settings file missing",
       [](World& t) { std::filesystem::remove(t.settings_file_); },
       "Arquivo Norvessa.ini não foi encontrado!", "Looked for SETTINGS (",
       true},
      {"connection settings file missing",
       [](World& t) { std::filesystem::remove(t.connection_file_); },
       "Arquivo CONEXAO.INI não foi encontrado! | Arquivo INI deve estar na "
       "Pasta Config",
       "Looked for CONNECTION (", true},
      {"empty HOSTNAME",
       [](World& t) {
         World::WriteFile(t.connection_file_,
                          "[SERVER]\nDRIVER=SQLite\nBANCO=../test.db\n");
       },
       "Problemas de Conexão!",
       "[SERVER] HOSTNAME is missing or empty in CONNECTION", true},
      {"unreachable database",
       [](World& t) {
         World::WriteFile(
             t.connection_file_,
             "[SERVER]\nDRIVER=SQLite\nHOSTNAME=x\nBANCO=../none.db\n");
       },
       "Não foi Possível Conectar ao Banco de Dados...", "SQLite database ",
       true},
      {"unknown driver",
       [](World& t) {
         World::WriteFile(t.connection_file_,
                          "[SERVER]\nDRIVER=Oracle\nHOSTNAME=x\nBANCO=ERP\n");
       },
       "Não foi Possível Conectar ao Banco de Dados...",
       "[SERVER] DRIVER='Oracle' in CONNECTION is not a known driver: MSSQL9 "
       "or empty (SQL Server through ODBC) or SQLite",
       true},
      {"long reads at once not a number",
       [](World& t) {
         World::WriteFile(t.connection_file_,
                          "[SERVER]\nDRIVER=SQLite\nHOSTNAME=x\nBANCO=../"
                          "test.db\nLeiturasSimultaneas=0\n");
       },
       "Não foi Possível Conectar ao Banco de Dados...",
       "[SERVER] LeiturasSimultaneas='0' in CONNECTION is not a whole number "
       "from 1 to 256 (left out: as many as the machine has cores)",
       true},
      {"unreachable SQL Server",
       [](World& t) {
         World::WriteFile(
             t.connection_file_,
             "[SERVER]\nHOSTNAME=127.0.0.1,1\nBANCO=ERP\nUSUARIO=sa\n");
       },
       "Não foi Possível Conectar ao Banco de Dados...",
       "SQL Server at 127.0.0.1 port 1 (ODBC driver FreeTDS): ", true},
      {"no Empresa table", [](World& t) { t.db_.Exec("DROP TABLE Empresa"); },
       "Erro de Conexão ao Banco...",
       "Reading the trade name of company 1 ([API] Empresa): ", true},
      {"settings file cannot be written",
       [](World& t) { t.platform_.fail_writes = true; },
       "Unable to write to SETTINGS | APINorvessa", "", false},
      {"no port in the settings file",
       [](World& t) { World::WriteFile(t.settings_file_, "[API]\nIP=x\n"); },
       "'' is not a valid integer value | APINorvessa",
       "[API] Porta='' in SETTINGS: the port is a whole number from 0 to "
       "65535 (0 listens on 9000)",
       false},
      {"port text not a number",
       [](World& t) {
         World::WriteFile(t.settings_file_, "[API]\nPorta=90a\n");
       },
       "'90a' is not a valid integer value | APINorvessa",
       "[API] Porta='90a' in SETTINGS: ", false},
      {"port above 65535",
       [](World& t) {
         World::WriteFile(t.settings_file_, "[API]\nPorta=70000\n");
       },
       "'70000' is not a valid port number (0 to 65535) | APINorvessa",
       "[API] Porta='70000' in SETTINGS: ", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World t;
    c.arrange(t);
    t.form_.FormCreate();
    if (!t.platform_.Terminated()) t.form_.BtStartClick();
    const auto paths = [&t](std::string text) {
      for (const auto& [name, path] :
           {std::pair<std::string, std::string>{"SETTINGS", t.settings_file_},
            {"CONNECTION", t.connection_file_}}) {
        const auto at = text.find(name);
        if (at != std::string::npos) text.replace(at, name.size(), path);
      }
      return text;
    };
    EXPECT_EQ(t.platform_.messages, std::vector<std::string>{paths(c.message)});
    ASSERT_EQ(t.platform_.details.size(), 1u);
    if (c.detail.empty()) {
      EXPECT_EQ(t.platform_.details[0], "");
    } else {
      EXPECT_NE(t.platform_.details[0].find(paths(c.detail)), std::string::npos)
          << t.platform_.details[0];
    }
    EXPECT_EQ(t.platform_.Terminated(), c.terminated);
    EXPECT_FALSE(t.host_.IsRunning());
    if (!c.terminated) t.ExpectIdleButtons();
  }
}

// A driver whose connect never returns: "Iniciar" gives up at the
// deadline with the connect failure's message and the program ends; the
// stuck thread is left behind.
TEST(FormTest, AConnectThatNeverReturnsFailsAtTheDeadline) {
  World w;
  std::mutex mutex;
  std::condition_variable release;
  bool released = false;
  w.host_.SetPoolOpener(
      [&](const ConnectionSettings&, int) -> std::unique_ptr<ConnectionPool> {
        std::unique_lock lock(mutex);
        release.wait(lock, [&] { return released; });
        throw DriverError("released");
      },
      std::chrono::milliseconds(200));
  w.form_.FormCreate();
  w.form_.BtStartClick();
  EXPECT_EQ(w.platform_.messages,
            std::vector<std::string>{
                "Não foi Possível Conectar ao Banco de Dados..."});
  ASSERT_EQ(w.platform_.details.size(), 1u);
  EXPECT_NE(w.platform_.details[0].find(
                "SQLite database " + w.db_.dir() +
                "/bin/../test.db: No answer from the database within 200 ms"),
            std::string::npos)
      << w.platform_.details[0];
  EXPECT_TRUE(w.platform_.Terminated());
  EXPECT_FALSE(w.host_.IsRunning());
  EXPECT_EQ(ServiceHost::AbandonedConnects(), 1);

  // The thread ends once the driver returns; nothing of it is kept.
  {
    std::lock_guard lock(mutex);
    released = true;
  }
  release.notify_all();
  while (ServiceHost::AbandonedConnects() > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(w.host_.pool(), nullptr);
}

TEST(FormTest, StartFailedAtListeningKeepsWhatWasDone) {
  World w;
  auto& platform_ = w.platform_;
  auto& form_ = w.form_;
  auto& host_ = w.host_;
  testing::BoundSocket taken;  // the port is in use
  World::WriteFile(w.settings_file_,
                   "[API]\nPorta=" + std::to_string(taken.port()) + "\n");
  form_.FormCreate();
  form_.BtStartClick();
  ASSERT_EQ(platform_.messages.size(), 1u);
  EXPECT_NE(platform_.messages[0].find("Could not listen on 0.0.0.0:" +
                                       std::to_string(taken.port())),
            std::string::npos)
      << platform_.messages[0];
  EXPECT_FALSE(host_.IsRunning());
  w.ExpectIdleButtons();
  // The connection is open and the banner shows.
  EXPECT_TRUE(platform_.ControlVisible(Control::kBtConectar));
  EXPECT_EQ(platform_.StatusPanel(0), "Norvessa Confecções");
}

// The start's word on a missing Logs folder beside the test program is
// not what these tests look at.
std::string WithoutLogsFolderLine(std::string text) {
  const auto at = text.find("Requests will not be logged: ");
  if (at != std::string::npos) text.erase(at, text.find('\n', at) + 1 - at);
  return text;
}

TEST(FormTest, TheServersLimitsComeFromTheSettingsFile) {
  using std::chrono::milliseconds;
  using std::chrono::seconds;
  constexpr std::uint64_t kMiB = 1024 * 1024;
  struct Case {
    const char* settings;
    milliseconds deadline;
    int connections;
    std::uint64_t bodies;
    const char* stderr_text;
    int per_address = 256;
    milliseconds slot_wait{0};
    const char* listen = "0.0.0.0";
  };
  const Case cases[] = {
      {"", seconds(60), 10000, 256 * kMiB, ""},
      {"PrazoRequisicao=\nMaxConexoes=\nMaxCorposMiB=\nEsperaVagaMs=\n"
       "MaxConexoesPorIP=\nIPEscuta=\n",
       seconds(60), 10000, 256 * kMiB, ""},
      {"PrazoRequisicao=5\nMaxConexoes= 50 \nMaxCorposMiB=8\n"
       "MaxConexoesPorIP=3\nEsperaVagaMs=2000\nIPEscuta= 127.0.0.1 \n",
       seconds(5), 50, 8 * kMiB, "", 3, milliseconds(2000), "127.0.0.1"},
      {"PrazoRequisicao=0\nMaxConexoes=dez mil\nMaxCorposMiB=2147483648\n"
       "MaxConexoesPorIP=0\nEsperaVagaMs=60001\n",
       seconds(60), 10000, 256 * kMiB,
       "Norvessa.ini [API] PrazoRequisicao='0' is not a whole number from 1 "
       "to 2147483647: using 60\n"
       "Norvessa.ini [API] MaxConexoes='dez mil' is not a whole number from 1 "
       "to 2147483647: using 10000\n"
       "Norvessa.ini [API] MaxConexoesPorIP='0' is not a whole number from 1 "
       "to 2147483647: using 256\n"
       "Norvessa.ini [API] MaxCorposMiB='2147483648' is not a whole number "
       "from 1 to 2147483647: using 256\n"
       "Norvessa.ini [API] EsperaVagaMs='60001' is not a whole number from 0 "
       "to 60000: using 0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    World t;
    World::WriteFile(
        t.settings_file_,
        "[API]\nPorta=" + std::to_string(t.port_) + "\n" + c.settings);
    t.form_.FormCreate();
    ::testing::internal::CaptureStderr();
    t.form_.BtStartClick();
    EXPECT_EQ(WithoutLogsFolderLine(::testing::internal::GetCapturedStderr()),
              c.stderr_text);
    ASSERT_TRUE(t.host_.IsRunning());
    const ServerLimits& limits = t.api_.limits();
    EXPECT_EQ(limits.request_deadline, c.deadline);
    EXPECT_EQ(limits.max_connections, c.connections);
    EXPECT_EQ(limits.body_budget, c.bodies);
    EXPECT_EQ(limits.max_connections_per_address, c.per_address);
    EXPECT_EQ(limits.slot_wait, c.slot_wait);
    EXPECT_EQ(t.api_.host(), c.listen);
    // What the settings do not name stays as it was.
    EXPECT_EQ(limits.idle_timeout,
              testing::TestServer::ShortLimits().idle_timeout);
  }
}

TEST(FormTest, CompanyIdAndVersion) {
  struct Case {
    const char* settings_extra;
    bool has_version;
    const char* company;
    const char* version;
  };
  const Case cases[] = {
      {"", true, "Norvessa Confecções", "Versão: 1.0.0.0"},
      {"Empresa=\n", true, "Norvessa Confecções", "Versão: 1.0.0.0"},
      {"Empresa=1'2\n", true, "Aspas Ltda", "Versão: 1.0.0.0"},
      {"Empresa=7\n", false, "", "Versão: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings_extra);
    World t;
    World::WriteFile(
        t.settings_file_,
        "[API]\nPorta=" + std::to_string(t.port_) + "\n" + c.settings_extra);
    t.platform_.has_version = c.has_version;
    t.form_.FormCreate();
    t.form_.BtStartClick();
    EXPECT_TRUE(t.platform_.messages.empty());
    EXPECT_EQ(t.platform_.StatusPanel(0), c.company);
    EXPECT_EQ(t.platform_.StatusPanel(2), c.version);
  }
}

}  // namespace
}  // namespace norvessa
