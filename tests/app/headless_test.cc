// The program itself, started headless as a child process.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "installation.h"
#include "support/http_client.h"
#include "support/temp_database.h"

namespace norvessa {
namespace {

namespace fs = std::filesystem;

TEST(HeadlessTest, StartsServesAndStopsOnSigterm) {
  std::uint16_t port;
  port = testing::FreePortForAProgram();
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

// SIGHUP, SIGUSR1 and SIGUSR2 under load: every request is answered and
// logged, and the service goes on serving.
TEST(HeadlessTest, StraySignalsNeitherEndTheServiceNorCutItsRequests) {
  std::uint16_t port;
  port = testing::FreePortForAProgram();
  Installation app(std::to_string(port));
  fs::create_directories(app.bin() + "/Logs");
  app.Start();
  ASSERT_TRUE(WaitForPort(port)) << app.Stderr();
  std::atomic<bool> done{false};
  std::atomic<int> answered{0};
  std::atomic<int> sent{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 4; ++c) {
    clients.emplace_back([&] {
      while (!done) {
        ++sent;
        if (testing::Request(port, "POST", "/estados").status == 200) {
          ++answered;
        }
      }
    });
  }
  // Five more answers, or false after a long deadline.
  auto five_more = [&] {
    const int before = answered.load();
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (answered.load() < before + 5) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::yield();
    }
    return true;
  };
  bool serving = true;
  for (int round = 0; round < 3 && serving; ++round) {
    for (int signal_number : {SIGHUP, SIGUSR1, SIGUSR2}) {
      // Each signal lands among requests under way.
      serving = serving && five_more();
      ASSERT_EQ(::kill(app.pid(), signal_number), 0);
    }
  }
  serving = serving && five_more();
  done = true;
  for (auto& t : clients) t.join();
  EXPECT_TRUE(serving) << app.Stderr();
  EXPECT_EQ(answered.load(), sent.load());
  EXPECT_EQ(app.Stop(SIGTERM), 0) << app.Stderr();
  EXPECT_NE(app.Stderr().find("APINorvessa ignores SIGHUP"), std::string::npos)
      << app.Stderr();
  std::string log;
  for (const auto& file : fs::directory_iterator(app.bin() + "/Logs")) {
    std::ifstream in(file.path());
    std::stringstream s;
    s << in.rdbuf();
    log += s.str();
  }
  int lines = 0;
  for (std::size_t at = 0;
       (at = log.find("\"POST /estados\" 200\r\n", at)) != std::string::npos;
       ++at) {
    ++lines;
  }
  EXPECT_EQ(lines, sent.load());
}

// Each operator message as the design words it, then one line with what it
// leaves out. <root>, <bin> and <port> stand for the installation's folders and
// a closed port; a case whose output ends in ": " is followed by the cause.
TEST(HeadlessTest, FailuresPrintTheOperatorMessageAndExitOne) {
  struct Case {
    const char* name;
    std::function<void(Installation&, const std::string& port)> arrange;
    std::string output;
  };
  const std::string logs =
      "Requests will not be logged: the folder <bin>/Logs does not exist (the "
      "service never creates it; create it and lines follow from the next "
      "request)\n";
  const Case cases[] = {
      {"no service settings file",
       [](Installation& a, const std::string&) {
         fs::remove(a.root() + "/Norvessa/Config/Norvessa.ini");
       },
       "Arquivo Norvessa.ini não foi encontrado!\n"
       "Looked for <root>/Norvessa/Config/Norvessa.ini (the root <root> is "
       "$NORVESSA_ROOT when set, else the mount point of the program's "
       "filesystem)\n"},
      {"no connection settings file",
       [](Installation& a, const std::string&) {
         fs::remove(a.bin() + "/Config/Conexao.ini");
       },
       "Arquivo CONEXAO.INI não foi encontrado!\n"
       "Arquivo INI deve estar na Pasta Config\n"
       "Looked for <bin>/Config/Conexao.ini (the folder Config beside the "
       "program)\n"},
      {"bad port text",
       [](Installation& a, const std::string&) {
         Installation::Write(a.root() + "/Norvessa/Config/Norvessa.ini",
                             "[API]\nPorta=abc\n");
       },
       logs +
           "'abc' is not a valid integer value\nAPINorvessa\n"
           "[API] Porta='abc' in <root>/Norvessa/Config/Norvessa.ini: the port "
           "is a whole number from 0 to 65535 (0 listens on 9000)\n"},
      {"unknown driver",
       [](Installation& a, const std::string&) {
         Installation::Write(a.bin() + "/Config/Conexao.ini",
                             "[SERVER]\nDRIVER=Oracle\nHOSTNAME=erp\n");
       },
       "Não foi Possível Conectar ao Banco de Dados...\n"
       "[SERVER] DRIVER='Oracle' in <bin>/Config/Conexao.ini is not a known "
       "driver: MSSQL9 or empty (SQL Server through ODBC) or SQLite\n"},
      {"unreachable SQL Server",
       [](Installation& a, const std::string& port) {
         Installation::Write(a.bin() + "/Config/Conexao.ini",
                             "[SERVER]\nDRIVER=MSSQL9\nHOSTNAME=127.0.0.1," +
                                 port + "\nBANCO=ERP\nUSUARIO=sa\n");
       },
       "Não foi Possível Conectar ao Banco de Dados...\n"
       "SQL Server at 127.0.0.1 port <port> (ODBC driver FreeTDS): "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string closed_port;
    closed_port = std::to_string(testing::FreePortForAProgram());
    Installation app("1");
    c.arrange(app, closed_port);
    app.Start();
    EXPECT_EQ(app.Stop(), 1);
    std::string expected = c.output;
    for (const auto& [name, value] :
         {std::pair<std::string, std::string>{"<root>", app.root()},
          {"<bin>", app.bin()},
          {"<port>", closed_port}}) {
      for (auto at = expected.find(name); at != std::string::npos;
           at = expected.find(name, at + value.size())) {
        expected.replace(at, name.size(), value);
      }
    }
    const std::string err = app.Stderr();
    if (expected.back() == ' ') {
      EXPECT_EQ(err.substr(0, expected.size()), expected) << err;
      EXPECT_EQ(err.find('\n', expected.size()), err.size() - 1) << err;
    } else {
      EXPECT_EQ(err, expected);
    }
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
  port = testing::FreePortForAProgram();
  std::uint16_t admin_port;
  admin_port = testing::FreePortForAProgram();
  Installation app(std::to_string(port));
  fs::create_directories(app.bin() + "/Logs");
  Installation::Write(app.root() + "/Norvessa/Config/Norvessa.ini",
                      "[API]\nPorta=" + std::to_string(port) +
                          "\nMaxCorposMiB=1\nPrazoRequisicao=um minuto\n"
                          "PortaAdmin=" +
                          std::to_string(admin_port) + "\n");
  // 324 descriptors leave room for 4 connections beside the program's own
  // 256 and the operators' 64.
  app.descriptors = 324;
  app.Start();
  ASSERT_TRUE(WaitForPort(port)) << app.Stderr();

  // A body past the 1 MiB all bodies may hold is turned away as soon as
  // that much of it has arrived, and the request log has its line.
  {
    testing::ClientConnection upload(port);
    upload.Send(
        "POST /estados HTTP/1.1\r\nHost: x\r\nContent-Length: "
        "2097152\r\n\r\n" +
        std::string(2097152, '{'));
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
  // Clients have every connection the main listener may take; the
  // operators' port still answers.
  EXPECT_EQ(testing::Request(admin_port, "GET", "/live").status, 200);
  held.clear();

  EXPECT_EQ(app.Stop(SIGTERM), 0);
  EXPECT_NE(LogFiles(app.bin() + "/Logs").find("\"POST /estados\" 500\r\n"),
            std::string::npos);
  const std::string err = app.Stderr();
  EXPECT_NE(err.find("Norvessa.ini [API] PrazoRequisicao='um minuto' is not "
                     "a whole number from 1 to 2147483647: using 60\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("API listener: connection limit lowered from 10000 to "
                     "4: the process may open 324 files (ulimit -n) and "
                     "keeps 320 of them for its own"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("API listener: connection limit of 4 reached"),
            std::string::npos)
      << err;
}

// Headless, nothing takes the locale from LANG, so the C library's
// character type would stay "C" (ASCII), and Microsoft's driver, which
// converts narrow text with it, would send "S??o" for "São".
TEST(HeadlessTest, NarrowTextReachesMicrosoftsDriverAsUtf8) {
  std::uint16_t port;
  port = testing::FreePortForAProgram();
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

// The Logs folder is never created, but its absence is told at start.
TEST(HeadlessTest, AMissingLogsFolderIsToldAtStart) {
  for (const bool with_folder : {false, true}) {
    SCOPED_TRACE(with_folder ? "with the folder" : "without the folder");
    std::uint16_t port;
    port = testing::FreePortForAProgram();
    Installation app(std::to_string(port));
    if (with_folder) fs::create_directories(app.bin() + "/Logs");
    app.Start();
    ASSERT_TRUE(WaitForPort(port)) << app.Stderr();
    EXPECT_EQ(app.Stop(SIGTERM), 0);
    const std::string line = "Requests will not be logged: the folder " +
                             app.bin() +
                             "/Logs does not exist (the service never "
                             "creates it; create it and lines follow from "
                             "the next request)\n";
    EXPECT_EQ(app.Stderr().find(line) != std::string::npos, !with_folder)
        << app.Stderr();
    EXPECT_FALSE(fs::exists(app.bin() + "/Logs") && !with_folder);
  }
}

// A TCP listener that accepts connections (the kernel does) and never
// says a word.
class SilentServer {
 public:
  SilentServer() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(fd_, 16) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "cannot listen on 127.0.0.1";
    }
    port_ = ntohs(address.sin_port);
  }
  ~SilentServer() { close(fd_); }
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;

  std::string port() const { return std::to_string(port_); }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

bool FreeTdsRegistered() {
  std::ifstream ini("/etc/odbcinst.ini");
  std::string line;
  while (std::getline(ini, line)) {
    if (line.rfind("[FreeTDS]", 0) == 0) return true;
  }
  return false;
}

// The installation's database is SQL Server at `host` through a driver
// named FreeTDS: the system's, or the scripted one when `scripted` (its
// connect then never returns, whatever the login timeout). The trace file
// tells when the scripted connect has begun.
std::vector<std::pair<std::string, std::string>> SqlServerAt(
    Installation& app, const std::string& host, bool scripted) {
  Installation::Write(app.bin() + "/Config/Conexao.ini",
                      "[SERVER]\nDRIVER=MSSQL9\nHOSTNAME=" + host +
                          "\nBANCO=ERP\nUSUARIO=sa\nSENHA=x\n");
  if (!scripted) return {};
  const std::string dir = fs::path(app.bin()).parent_path().string();
  Installation::Write(dir + "/odbcinst.ini",
                      "[FreeTDS]\nDriver = " +
                          std::string(NORVESSA_SCRIPTED_ODBC_DRIVER) + "\n");
  return {{"ODBCSYSINI", dir},
          {"ODBCINSTINI", "odbcinst.ini"},
          {"SCRIPTED_ODBC_TRACE", dir + "/statements.txt"},
          {"SCRIPTED_ODBC_CONNECT_HANGS", "1"}};
}

// A database host that accepts the connection and never answers: FreeTDS
// gives up at its login timeout, and a driver that would wait for ever is
// given up at the start's deadline. Either way the start ends with the
// connect failure's message and status 1.
TEST(HeadlessTest, ADatabaseHostThatNeverAnswersEndsTheStart) {
  SilentServer silent;
  const std::string host = "127.0.0.1," + silent.port();
  struct Run {
    const char* name;
    bool scripted;
    std::unique_ptr<Installation> app;
  };
  std::vector<Run> runs;
  for (const bool scripted : {true, false}) {
    if (!scripted && !FreeTdsRegistered()) continue;  // no FreeTDS here
    Run& run = runs.emplace_back(
        Run{scripted ? "a driver that never returns" : "FreeTDS", scripted,
            std::make_unique<Installation>("1")});
    run.app->Start({"--headless"}, nullptr,
                   SqlServerAt(*run.app, host, scripted));
  }
  for (Run& run : runs) {
    SCOPED_TRACE(run.name);
    // Generous: the start itself gives up after 16 s.
    EXPECT_EQ(run.app->Wait(std::chrono::seconds(60)), 1) << run.app->Stderr();
    const std::string err = run.app->Stderr();
    EXPECT_NE(err.find("Não foi Possível Conectar ao Banco de Dados...\n"
                       "SQL Server at 127.0.0.1 port " +
                       silent.port() + " (ODBC driver FreeTDS): "),
              std::string::npos)
        << err;
    if (run.scripted) {
      EXPECT_NE(err.find(": No answer from the database within 16 s (the "
                         "connect was given up)\n"),
                std::string::npos)
          << err;
    }
  }
}

// At run time the server takes connections and never answers a login,
// behind a driver that ignores its login timeout: every request is still
// answered within seconds (a connect is waited for at most 2 s, and while
// one hangs no other starts), and a stop ends the process with its request
// log written.
TEST(HeadlessTest, AConnectThatNeverAnswersHoldsNeitherRequestsNorTheStop) {
  const std::uint16_t port = testing::FreePortForAProgram();
  Installation app(std::to_string(port));
  fs::create_directories(app.bin() + "/Logs");
  const std::string dir = fs::path(app.bin()).parent_path().string();
  Installation::Write(dir + "/odbcinst.ini",
                      "[FreeTDS]\nDriver = " +
                          std::string(NORVESSA_SCRIPTED_ODBC_DRIVER) + "\n");
  Installation::Write(app.bin() + "/Config/Conexao.ini",
                      "[SERVER]\nDRIVER=MSSQL9\nHOSTNAME=erp-scripted\n"
                      "BANCO=ERP\nUSUARIO=sa\nSENHA=x\n");
  const std::string control = dir + "/control";
  Installation::Write(control, "up\n");
  app.Start({"--headless"}, nullptr,
            {{"ODBCSYSINI", dir},
             {"ODBCINSTINI", "odbcinst.ini"},
             {"SCRIPTED_ODBC_CONTROL", control}});
  ASSERT_TRUE(WaitForPort(port)) << app.Stderr();
  EXPECT_NE(testing::Request(port, "POST", "/estados").status, 0);
  // The links are cut, and every new connect hangs.
  Installation::Write(control, "hang\n");
  constexpr int kRequests = 6;
  std::vector<std::thread> clients;
  std::atomic<int> answered{0};
  const auto began = std::chrono::steady_clock::now();
  for (int i = 0; i < kRequests; ++i) {
    clients.emplace_back([&] {
      if (testing::Request(port, "POST", "/estados").status != 0) {
        ++answered;
      }
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(answered, kRequests);
  // Generous for a loaded machine; without the bound they never return.
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(30));
  kill(app.pid(), SIGTERM);
  EXPECT_EQ(app.Wait(std::chrono::seconds(60)), 0) << app.Stderr();
  EXPECT_NE(app.Stderr().find("Database unreachable: no answer to a "
                              "connection attempt within 2.0 s"),
            std::string::npos)
      << app.Stderr();
  std::string log;
  for (const auto& file : fs::directory_iterator(app.bin() + "/Logs")) {
    std::ifstream in(file.path());
    std::stringstream text;
    text << in.rdbuf();
    log += text.str();
  }
  std::size_t lines = 0;
  for (std::size_t at = 0;
       (at = log.find("\"POST /estados\" ", at)) != std::string::npos; ++at) {
    ++lines;
  }
  EXPECT_EQ(lines, static_cast<std::size_t>(kRequests) + 1) << log;
}

// SIGTERM and SIGINT while the start waits on a connect that never returns
// end the process at once, with status 1 and a line that says so.
TEST(HeadlessTest, AStopSignalDuringAHangingStartEndsIt) {
  SilentServer silent;
  struct Case {
    int signal;
    const char* line;
  };
  const Case cases[] = {
      {SIGTERM,
       "APINorvessa stopping (Terminated) before the start "
       "finished\n"},
      {SIGINT, "APINorvessa stopping (Interrupt) before the start finished\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Installation app("1");
    const auto env = SqlServerAt(app, "127.0.0.1," + silent.port(), true);
    app.Start({"--headless"}, nullptr, env);
    const std::string trace =
        fs::path(app.bin()).parent_path().string() + "/statements.txt";
    bool connecting = false;
    for (int i = 0; i < 600 && !connecting; ++i) {
      std::ifstream in(trace);
      std::string line;
      connecting = std::getline(in, line) && line == "SQLDriverConnect hangs";
      if (!connecting) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
    ASSERT_TRUE(connecting) << app.Stderr();
    kill(app.pid(), c.signal);
    EXPECT_EQ(app.Wait(std::chrono::seconds(60)), 1) << app.Stderr();
    EXPECT_EQ(app.Stderr(), c.line);
  }
}

}  // namespace
}  // namespace norvessa

// A database file that is not writable for a while, as the service's user
// sees it.

#include <grp.h>
#include <sys/stat.h>

#include <condition_variable>
#include <mutex>

#include "db/sqlite/sqlite_connection.h"

namespace norvessa {
namespace {

constexpr const char* kNewOrder =
    R"({"idempresa":"1","idusuario":"1","dtemissao":"10/12/2026 10:30",)"
    R"("dtsaidainicial":"12/12/2026","dtsaidafinal":"15/12/2026",)"
    R"("idcliente":15,"vltotalpedido":"63","observacao":"x","itens":[]})";

testing::HttpReply PostOrder(std::uint16_t port) {
  return testing::Request(port, "POST", "/pedidos/novo",
                          {{"Content-Type", "application/json"}}, kNewOrder);
}

TEST(HeadlessTest, AnUnwritableDatabaseFailsTheStartAndIsNotKeptOpen) {
  std::uint16_t port;
  port = testing::FreePortForAProgram();
  Installation app(std::to_string(port));
  UnprivilegedRun run(app);
  {
    SqliteConnection schema(run.db());
    schema.Execute(
        "CREATE TABLE Pedido (IdPedido INTEGER PRIMARY KEY, IdEmpresa, "
        "IdUsuario, Situacao, Status, Origem, DtEmissao, DtSaidaInicial, "
        "DtSaidaFinal, IdFiscalMovimento, NumPedido, IdCliente, IdVendedor, "
        "PcAcrescimo, PcDesconto, VlTotalPedido, Observacao)",
        {});
  }

  // A start on a file the service may not write fails as a database that
  // cannot be reached does.
  chmod(run.db().c_str(), 0444);
  run.Start();
  EXPECT_EQ(run.WaitForExit(), 1) << run.Stderr();
  EXPECT_NE(run.Stderr().find("Não foi Possível Conectar ao Banco de Dados"),
            std::string::npos)
      << run.Stderr();
  EXPECT_NE(run.Stderr().find("/test.db: the file is not writable"),
            std::string::npos)
      << run.Stderr();
  run.Stop(SIGKILL);

  chmod(run.db().c_str(), 0644);
  run.Start();
  ASSERT_TRUE(WaitForPort(port)) << run.Stderr();
  EXPECT_EQ(PostOrder(port).body, R"({"Result":"1"})");

  // Another process holds the write lock, so the pooled connection stays
  // with the first of two orders; the second needs a connection of its own
  // while the file is not writable.
  SqliteConnection outside(run.db());
  outside.Begin();
  chmod(run.db().c_str(), 0444);
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<testing::HttpReply> replies;
  std::vector<std::thread> senders;
  for (int i = 0; i < 2; ++i) {
    senders.emplace_back([&] {
      testing::HttpReply reply;
      try {
        reply = PostOrder(port);
      } catch (const std::exception& e) {
        reply.body = e.what();
      }
      const std::lock_guard lock(mutex);
      replies.push_back(std::move(reply));
      arrived.notify_all();
    });
  }
  {
    std::unique_lock lock(mutex);
    arrived.wait(lock, [&] { return !replies.empty(); });
  }
  chmod(run.db().c_str(), 0644);
  outside.Rollback();
  for (std::thread& t : senders) t.join();
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].status, 404);
  EXPECT_EQ(replies[0].body, R"({"Erro except":"Erro no Pedido!"})");
  EXPECT_EQ(replies[1].body, R"({"Result":"2"})");
  // Once the file is writable again, the next order is stored.
  EXPECT_EQ(PostOrder(port).body, R"({"Result":"3"})");
  EXPECT_EQ(PostOrder(port).body, R"({"Result":"4"})");
  EXPECT_EQ(run.Stop(SIGTERM), 0) << run.Stderr();
}

}  // namespace
}  // namespace norvessa
