// apinorvessa --check: the real program, one case per problem, with its
// whole output and its exit status.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "installation.h"
#include "support/http_client.h"

namespace norvessa {
namespace {

struct Case {
  const char* what;
  // Changes the installation before the check runs.
  std::function<void(Installation&)> change;
  int exit_code;
  // The lines after "connection settings", with $BIN and $ROOT for the
  // folders and $PORT for the service's port.
  std::string tail;
  bool as_nobody = false;
};

std::string Expand(std::string text, const Installation& app,
                   const std::string& port) {
  for (const auto& [key, value] :
       {std::pair<std::string, std::string>{"$BIN", app.bin()},
        {"$ROOT", app.root()},
        {"$PORT", port}}) {
    for (std::size_t at; (at = text.find(key)) != std::string::npos;) {
      text.replace(at, key.size(), value);
    }
  }
  return text;
}

TEST(SettingsCheckTest, PrintsWhatItFoundAndEachProblem) {
  const std::string found_database =
      "driver: SQLite\n"
      "host: localhost\n"
      "database: $BIN/../test.db\n"
      "database answers: yes\n"
      "company: 1 Demo\n";
  const std::string everyone =
      "allowed addresses: everyone\n"
      "proxies: none\n"
      "allowed origins: none (a request from a browser page is refused)\n"
      "allowed hosts: any\n";
  const std::string limits =
      "PrazoRequisicao: 60\n"
      "MaxConexoes: 10000\n"
      "MaxConexoesPorIP: 256\n"
      "MaxCorposMiB: 256\n"
      "EsperaVagaMs: 0\n";
  const std::string all_addresses = "listen address: every local address\n";
  const Case cases[] = {
      {"everything in place", [](Installation&) {}, 0,
       found_database + all_addresses +
           "port: $PORT\n"
           "log folder: $BIN/Logs (writable)\n" +
           everyone + limits +
           "admin port: none\n"
           "result: the service can start\n"},
      {"the new settings, each wrong",
       [](Installation& app) {
         std::ofstream(app.root() + "/Norvessa/Config/Norvessa.ini",
                       std::ios::app)
             << "IPEscuta=localhost\nOrigensPermitidas=app.example.com\n"
                "HostsPermitidos=a b\nEsperaVagaMs=90000\n"
                "MaxConexoesPorIP=0\nPortaAdmin=9\nIPAdmin=0.0.0.0\n";
       },
       1,
       found_database +
           "port: $PORT\n"
           "log folder: $BIN/Logs (writable)\n"
           "PrazoRequisicao: 60\n"
           "MaxConexoes: 10000\n"
           "MaxConexoesPorIP: 256\n"
           "MaxCorposMiB: 256\n"
           "EsperaVagaMs: 0\n"
           "admin port: 9 on 0.0.0.0\n"
           "problem: [API] IPEscuta='localhost' in "
           "$ROOT/Norvessa/Config/Norvessa.ini: one local IPv4 or IPv6 "
           "address to listen on, or empty for every local address\n"
           "problem: [API] OrigensPermitidas: 'app.example.com' is not an "
           "origin (scheme://host or scheme://host:port, as a browser sends "
           "it) in $ROOT/Norvessa/Config/Norvessa.ini\n"
           "warning: [API] MaxConexoesPorIP='0' is not a whole number from 1 "
           "to 2147483647: using 256 in $ROOT/Norvessa/Config/Norvessa.ini\n"
           "warning: [API] EsperaVagaMs='90000' is not a whole number from 0 "
           "to 60000: using 0 in $ROOT/Norvessa/Config/Norvessa.ini\n"
           "warning: [API] IPAdmin=0.0.0.0 is not a loopback address: keep "
           "the operators' port on loopback or a management network\n"
           "result: the service cannot start (2 problems)\n"},
      {"no connection settings",
       [](Installation& app) {
         std::filesystem::remove(app.bin() + "/Config/Conexao.ini");
       },
       1,
       all_addresses +
           "port: $PORT\n"
           "log folder: $BIN/Logs (writable)\n" +
           everyone + limits +
           "admin port: none\n"
           "problem: Arquivo CONEXAO.INI não foi encontrado! (looked for "
           "$BIN/Config/Conexao.ini, the folder Config beside the program)\n"
           "result: the service cannot start (1 problem)\n"},
      {"a database that cannot be opened",
       [](Installation& app) {
         Installation::Write(app.bin() + "/Config/Conexao.ini",
                             "[SERVER]\nDRIVER=SQLite\nHOSTNAME=localhost\n"
                             "BANCO=../missing.db\n");
       },
       1,
       "driver: SQLite\n"
       "host: localhost\n"
       "database: $BIN/../missing.db\n"
       "database answers: no\n" +
           all_addresses +
           "port: $PORT\n"
           "log folder: $BIN/Logs (writable)\n" +
           everyone + limits +
           "admin port: none\n"
           "problem: SQLite database $BIN/../missing.db: Cannot open database "
           "$BIN/../missing.db: unable to open database file\n"
           "result: the service cannot start (1 problem)\n"},
      {"a port that is not one",
       [](Installation& app) {
         Installation::Write(app.root() + "/Norvessa/Config/Norvessa.ini",
                             "[API]\nPorta=90a\nPortaAdmin=0\n");
       },
       1,
       found_database + all_addresses + "log folder: $BIN/Logs (writable)\n" +
           everyone + limits +
           "admin port: 0 on 127.0.0.1\n"
           "problem: [API] Porta='90a' in "
           "$ROOT/Norvessa/Config/Norvessa.ini: '90a' is not a valid integer "
           "value: the port is a whole number from 0 to 65535 (0 listens on "
           "9000)\n"
           "problem: [API] PortaAdmin='0' in "
           "$ROOT/Norvessa/Config/Norvessa.ini: the operators' port is a "
           "whole number from 1 to 65535, or empty for none\n"
           "result: the service cannot start (2 problems)\n"},
      {"a log folder the service's user cannot write",
       [](Installation& app) {
         std::filesystem::create_directory(app.bin() + "/Logs");
       },
       0,
       found_database + all_addresses +
           "port: $PORT\n"
           "log folder: $BIN/Logs (not writable)\n" +
           everyone + limits +
           "admin port: none\n"
           "warning: log folder $BIN/Logs is not writable by this user: "
           "requests will not be logged\n"
           "result: the service can start\n",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::uint16_t port;
    port = testing::FreePortForAProgram();
    Installation app(std::to_string(port));
    std::filesystem::create_directory(app.bin() + "/Logs");
    c.change(app);
    const std::string head =
        "APINorvessa 1.0.0.0 settings check\n"
        "program folder: $BIN\n"
        "settings root: $ROOT\n"
        "service settings: $ROOT/Norvessa/Config/Norvessa.ini\n"
        "connection settings: $BIN/Config/Conexao.ini\n";
    const std::string expected =
        Expand(head + c.tail, app, std::to_string(port));
    if (c.as_nobody) {
      UnprivilegedRun run(app);
      run.keep_root_owned = {app.bin() + "/Logs"};
      run.Start({"--check"});
      EXPECT_EQ(run.WaitForExit(), c.exit_code) << run.Stderr();
      EXPECT_EQ(run.Stdout(), expected);
    } else {
      app.Start({"--check"});
      EXPECT_EQ(app.Wait(std::chrono::seconds(30)), c.exit_code)
          << app.Stderr();
      EXPECT_EQ(app.Stdout(), expected);
    }
  }
}

// Against SQL Server (the scripted driver standing in for FreeTDS,
// answering from the demo database): whether the link is encrypted, as the
// server sees the session, and a warning when it is not.
TEST(SettingsCheckTest, SaysWhetherTheLinkToSqlServerIsEncrypted) {
  struct Case {
    const char* extra;
    const char* lines;
  };
  const Case cases[] = {
      {"", "database answers: yes\nlink encrypted: yes\ncompany: 1 Demo\n"},
      {"ODBCEXTRA=Encryption=off\n",
       "database answers: yes\nlink encrypted: no\ncompany: 1 Demo\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extra);
    Installation app(std::to_string(testing::FreePortForAProgram()));
    std::filesystem::create_directory(app.bin() + "/Logs");
    const std::string dir =
        std::filesystem::path(app.bin()).parent_path().string();
    Installation::Write(dir + "/odbcinst.ini",
                        "[FreeTDS]\nDriver = " +
                            std::string(NORVESSA_SCRIPTED_ODBC_DRIVER) + "\n");
    Installation::Write(app.bin() + "/Config/Conexao.ini",
                        std::string("[SERVER]\nDRIVER=MSSQL9\n"
                                    "HOSTNAME=erp-scripted\nBANCO=ERP\n") +
                            c.extra);
    app.Start({"--check"}, nullptr,
              {{"ODBCSYSINI", dir},
               {"ODBCINSTINI", "odbcinst.ini"},
               {"SCRIPTED_ODBC_BACKEND", app.db()}});
    EXPECT_EQ(app.Wait(std::chrono::seconds(30)), 0) << app.Stderr();
    const std::string out = app.Stdout();
    EXPECT_NE(out.find(c.lines), std::string::npos) << out;
    EXPECT_EQ(out.find("warning: the link to SQL Server is not encrypted") !=
                  std::string::npos,
              std::string(c.extra).find("off") != std::string::npos)
        << out;
  }
}

TEST(SettingsCheckTest, APortInUseIsAProblem) {
  testing::BoundSocket taken;
  Installation app(std::to_string(taken.port()));
  std::filesystem::create_directory(app.bin() + "/Logs");
  app.Start({"--check"});
  EXPECT_EQ(app.Wait(std::chrono::seconds(30)), 1);
  EXPECT_NE(app.Stdout().find("problem: port " + std::to_string(taken.port()) +
                              " cannot be listened on: Address already in "
                              "use\n"),
            std::string::npos)
      << app.Stdout();
}

}  // namespace
}  // namespace norvessa
