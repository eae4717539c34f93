// The program itself, started headless as a child process.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/http_client.h"
#include "support/temp_database.h"

namespace norvessa {
namespace {

namespace fs = std::filesystem;

// The program copied alone into a folder, with its settings.
class Installation {
 public:
  explicit Installation(const std::string& port)
      : db_("CREATE TABLE Empresa (IdEmpresa INTEGER PRIMARY KEY,"
            " NomeFantasia VARCHAR(60));"
            "INSERT INTO Empresa VALUES (1, 'Demo');"
            "CREATE TABLE Uf (IdUf INTEGER PRIMARY KEY, Uf VARCHAR(2),"
            " UfNome VARCHAR(50), Situacao INTEGER);"
            "INSERT INTO Uf VALUES (35, 'SP', 'S' || char(227) || 'o Paulo', "
            "1);") {
    fs::create_directories(bin() + "/Config");
    fs::create_directories(root() + "/Norvessa/Config");
    fs::copy_file(APINORVESSA_BINARY, bin() + "/apinorvessa");
    Write(root() + "/Norvessa/Config/Norvessa.ini",
          "[API]\nPorta=" + port + "\nIP=http://0.0.0.0\n");
    Write(bin() + "/Config/Conexao.ini",
          "[SERVER]\nDRIVER=SQLite\nHOSTNAME=localhost\nBANCO=../test.db\n");
  }
  ~Installation() { Stop(SIGKILL); }

  std::string bin() const { return db_.dir() + "/bin"; }
  std::string root() const { return db_.dir() + "/root"; }
  static void Write(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
  }

  // Without a display unless `qt_platform` names one of Qt's own.
  void Start(std::vector<std::string> args = {"--headless"},
             const char* qt_platform = nullptr,
             const std::vector<std::pair<std::string, std::string>>& env = {}) {
    const std::string err = db_.dir() + "/stderr.txt";
    pid_ = fork();
    if (pid_ == 0) {
      for (const auto& [name, value] : env) {
        setenv(name.c_str(), value.c_str(), 1);
      }
      setenv("NORVESSA_ROOT", root().c_str(), 1);
      if (descriptors > 0) {
        const rlimit limit{descriptors, descriptors};
        setrlimit(RLIMIT_NOFILE, &limit);
      }
      unsetenv("DISPLAY");
      unsetenv("WAYLAND_DISPLAY");
      if (qt_platform == nullptr) {
        unsetenv("QT_QPA_PLATFORM");
      } else {
        setenv("QT_QPA_PLATFORM", qt_platform, 1);
      }
      freopen(err.c_str(), "w", stderr);
      freopen("/dev/null", "w", stdout);
      std::vector<char*> argv;
      const std::string program = bin() + "/apinorvessa";
      argv.push_back(const_cast<char*>(program.c_str()));
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
  }

  // The exit status, after sending `signal` (0: just wait).
  int Stop(int signal = 0) {
    if (pid_ <= 0) return -1;
    if (signal != 0) kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  pid_t pid() const { return pid_; }

  // The program's descriptor limit, soft and hard; 0 leaves it alone.
  rlim_t descriptors = 0;

  std::string Stderr() const {
    std::ifstream in(db_.dir() + "/stderr.txt");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  testing::TempDatabase db_;
  pid_t pid_ = -1;
};

bool WaitForPort(std::uint16_t port) {
  for (int i = 0; i < 200; ++i) {
    try {
      testing::ClientConnection probe(port);
      return true;
    } catch (const std::exception&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  return false;
}

TEST(HeadlessTest, StartsServesAndStopsOnSigterm) {
  std::uint16_t port;
  {
    testing::BoundSocket probe;
    port = probe.port();
  }
  Installation app(std::to_string(port));
  fs::create_directories(app.bin() + "/Logs");
  app.Start();
  ASSERT_TRUE(WaitForPort(port)) << app.Stderr();
  EXPECT_EQ(testing::Request(port, "POST", "/estados").body,
            R"([{"iduf":35,"uf":"SP","ufnome":"S\u00E3o Paulo"}])");
  EXPECT_EQ(app.Stop(SIGTERM), 0);
  // The request reached the day's log file before the process ended.
  std::string log;
  for (const auto& file : fs::directory_iterator(app.bin() + "/Logs")) {
    std::ifstream in(file.path());
    std::stringstream s;
    s << in.rdbuf();
    log += s.str();
  }
  EXPECT_NE(log.find("\"POST /estados\" 200\r\n"), std::string::npos) << log;
  EXPECT_NE(
      app.Stderr().find("Demo | ../test.db / localhost | Versão: 1.0.0.0"),
      std::string::npos)
      << app.Stderr();
}

TEST(HeadlessTest, FailuresPrintTheOperatorMessageAndExitOne) {
  struct Case {
    const char* name;
    std::function<void(Installation&)> arrange;
    const char* output;
  };
  const Case cases[] = {
      {"no service settings file",
       [](Installation& a) {
         fs::remove(a.root() + "/Norvessa/Config/Norvessa.ini");
       },
       "Arquivo Norvessa.ini não foi encontrado!\n"},
      {"no connection settings file",
       [](Installation& a) { fs::remove(a.bin() + "/Config/Conexao.ini"); },
       "Arquivo CONEXAO.INI não foi encontrado!\n"
       "Arquivo INI deve estar na Pasta Config\n"},
      {"bad port text",
       [](Installation& a) {
         Installation::Write(a.root() + "/Norvessa/Config/Norvessa.ini",
                             "[API]\nPorta=porta\n");
       },
       "'porta' is not a valid integer value\nAPINorvessa\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Installation app("1");
    c.arrange(app);
    app.Start();
    EXPECT_EQ(app.Stop(), 1);
    EXPECT_EQ(app.Stderr(), c.output);
  }
}

TEST(HeadlessTest, HelpVersionAndNoDisplay) {
  Installation app("1");
  app.Start({"--version"});
  EXPECT_EQ(app.Stop(), 0);
  app.Start({"--help"});
  EXPECT_EQ(app.Stop(), 0);
  app.Start({});
  EXPECT_EQ(app.Stop(), 1);
  EXPECT_NE(app.Stderr().find("--headless"), std::string::npos);
}

// Whether the process blocks SIGTERM, as the window's event loop does from
// before its first thread starts.
bool BlocksSigterm(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigBlk:", 0) == 0) {
      const auto mask = std::stoull(line.substr(7), nullptr, 16);
      return (mask >> (SIGTERM - 1)) & 1;
    }
  }
  return false;
}

TEST(HeadlessTest, TheWindowClosesOnSigterm) {
  Installation app("1");
  app.Start({}, "offscreen");
  bool blocked = false;
  for (int i = 0; i < 400 && !blocked; ++i) {
    blocked = BlocksSigterm(app.pid());
    if (!blocked) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(blocked) << app.Stderr();
  // A signal that arrives before the loop runs waits for it.
  EXPECT_EQ(app.Stop(SIGTERM), 0) << app.Stderr();
  EXPECT_NE(app.Stderr().find("APINorvessa closing (Terminated)"),
            std::string::npos)
      << app.Stderr();
}

std::string LogFiles(const std::string& dir) {
  std::string log;
  for (const auto& file : fs::directory_iterator(dir)) {
    std::ifstream in(file.path());
    std::stringstream s;
    s << in.rdbuf();
    log += s.str();
  }
  return log;
}

TEST(HeadlessTest, TheServersLimitsComeFromItsSettingsAndDescriptors) {
  std::uint16_t port;
  {
    testing::BoundSocket probe;
    port = probe.port();
  }
  Installation app(std::to_string(port));
  fs::create_directories(app.bin() + "/Logs");
  Installation::Write(app.root() + "/Norvessa/Config/Norvessa.ini",
                      "[API]\nPorta=" + std::to_string(port) +
                          "\nMaxCorposMiB=1\nPrazoRequisicao=um minuto\n");
  // 260 descriptors leave room for 4 connections beside the program's own.
  app.descriptors = 260;
  app.Start();
  ASSERT_TRUE(WaitForPort(port)) << app.Stderr();

  // A body past the 1 MiB all bodies may hold is turned away before it is
  // sent, and the request log has its line.
  {
    testing::ClientConnection upload(port);
    upload.Send(
        "POST /estados HTTP/1.1\r\nHost: x\r\nContent-Length: "
        "2097152\r\n\r\n");
    const auto refused = testing::ParseReply(upload.ReadAll());
    EXPECT_EQ(refused.status, 500);
    EXPECT_EQ(refused.body,
              "Maximum number of concurrent connections exceeded.  Please try "
              "again later");
  }

  // Four connections are all there is room for.
  std::vector<std::unique_ptr<testing::ClientConnection>> held;
  for (int i = 0; i < 4; ++i) {
    held.push_back(std::make_unique<testing::ClientConnection>(port));
    held.back()->Send("GET /usuarios HTTP/1.1\r\n");
  }
  testing::ClientConnection fifth(port);
  fifth.Send("POST /estados HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(fifth.ReadAll(), "");
  held.clear();

  EXPECT_EQ(app.Stop(SIGTERM), 0);
  EXPECT_NE(LogFiles(app.bin() + "/Logs").find("\"POST /estados\" 500\r\n"),
            std::string::npos);
  const std::string err = app.Stderr();
  EXPECT_NE(err.find("Norvessa.ini [API] PrazoRequisicao='um minuto' is not "
                     "a whole number from 1 to 2147483647: using 60\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("Connection limit lowered from 10000 to 4: the process "
                     "may open 260 files"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("Connection limit of 4 reached"), std::string::npos)
      << err;
}

// Headless, nothing takes the locale from LANG, so the C library's
// character type would stay "C" (ASCII), and Microsoft's driver, which
// converts narrow text with it, would send "S??o" for "São".
TEST(HeadlessTest, NarrowTextReachesMicrosoftsDriverAsUtf8) {
  std::uint16_t port;
  {
    testing::BoundSocket probe;
    port = probe.port();
  }
  Installation app(std::to_string(port));
  const std::string dir = fs::path(app.bin()).parent_path().string();
  Installation::Write(dir + "/odbcinst.ini",
                      "[ODBC Driver 18 for SQL Server]\nDriver = " +
                          std::string(NORVESSA_SCRIPTED_ODBC_DRIVER) + "\n");
  Installation::Write(app.bin() + "/Config/Conexao.ini",
                      "[SERVER]\nDRIVER=MSSQL9\n"
                      "ODBCDRIVER=ODBC Driver 18 for SQL Server\n"
                      "HOSTNAME=erp-scripted\nBANCO=ERP\n");
  const std::string trace = dir + "/statements.txt";
  app.Start({"--headless"}, nullptr,
            {{"ODBCSYSINI", dir},
             {"ODBCINSTINI", "odbcinst.ini"},
             {"SCRIPTED_ODBC_TRACE", trace},
             {"LANG", "pt_BR.ISO-8859-1"},
             {"LC_ALL", ""}});
  ASSERT_TRUE(WaitForPort(port)) << app.Stderr();
  const auto r = testing::Request(port, "POST", "/grupoid",
                                  {{"Content-Type", "application/json"}},
                                  R"({"grupo":"S\u00E3o"})");
  EXPECT_EQ(r.body, R"({"Result":"Nenhum Registro Encontrado!"})");
  EXPECT_EQ(app.Stop(SIGTERM), 0);
  std::ifstream in(trace);
  std::stringstream s;
  s << in.rdbuf();
  EXPECT_NE(s.str().find("and Grupo = 'S\xC3\xA3o'"), std::string::npos)
      << s.str();
}

}  // namespace
}  // namespace norvessa
