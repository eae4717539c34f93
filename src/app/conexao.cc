#include "app/conexao.h"

#include "app/program_paths.h"
#include "db/query.h"
#include "db/sql_lexer.h"
#include "db/unit_of_work.h"
#include "text/ascii.h"
#include "text/number_text.h"

namespace norvessa {
namespace {

// As the connection factory reads DRIVER: without regard to case.
bool IsSqlite(const std::string& driver) {
  return EqualsIgnoreCase(driver, "SQLite");
}

bool IsSqlServer(const std::string& driver) {
  return driver.empty() || EqualsIgnoreCase(driver, "MSSQL9");
}

}  // namespace

std::string DescribeDatabase(const ConnectionSettings& settings) {
  if (IsSqlite(settings.driver)) return "SQLite database " + settings.database;
  const std::string driver =
      settings.odbc_driver.empty() ? "FreeTDS" : settings.odbc_driver;
  const std::string& host = settings.hostname;
  std::string where;
  if (const std::size_t slash = host.find('\\'); slash != std::string::npos) {
    where = "SQL Server instance " + host.substr(slash + 1) + " on " +
            host.substr(0, slash) +
            " (its port from the SQL Server Browser, UDP 1434)";
  } else if (const std::size_t comma = host.find(',');
             comma != std::string::npos) {
    where = "SQL Server at " + host.substr(0, comma) + " port " +
            host.substr(comma + 1);
  } else {
    where = "SQL Server at " + host + " port 1433";
  }
  return where + " (ODBC driver " + driver + ")";
}

std::optional<ConnectionSettings> ReadConnectionSettings(
    Platform& platform, const std::string& settings_path,
    std::string& failure) {
  auto read = [&](const char* key) {
    return platform.ReadIniString(settings_path, "SERVER", key, "");
  };
  ConnectionSettings settings;
  settings.driver = read("DRIVER");
  settings.hostname = read("HOSTNAME");
  settings.database = read("BANCO");
  settings.user = read("USUARIO");
  settings.password = read("SENHA");
  settings.odbc_driver = read("ODBCDRIVER");
  settings.odbc_extra = read("ODBCEXTRA");
  if (!IsSqlite(settings.driver) && !IsSqlServer(settings.driver)) {
    failure = "[SERVER] DRIVER='" + settings.driver + "' in " + settings_path +
              " is not a known driver: MSSQL9 or empty (SQL Server through "
              "ODBC) or SQLite";
    return std::nullopt;
  }
  const std::string reads = read("LeiturasSimultaneas");
  if (!reads.empty()) {
    const auto n = TryParseInteger(TrimBlanks(reads));
    if (!n || *n < 1 || *n > 256) {
      failure = "[SERVER] LeiturasSimultaneas='" + reads + "' in " +
                settings_path +
                " is not a whole number from 1 to 256 (left out: as many as "
                "the machine has cores)";
      return std::nullopt;
    }
    settings.concurrent_reads = static_cast<int>(*n);
  }
  if (IsSqlite(settings.driver)) {
    settings.database =
        ResolvePath(settings.database, DirectoryOf(platform.ProgramFilePath()));
  }
  return settings;
}

bool Conexao::Conectar(const std::string& settings_path) {
  failure_.clear();
  const std::string host_name =
      platform_.ReadIniString(settings_path, "SERVER", "HOSTNAME", "");
  if (host_name.empty()) {
    platform_.Terminate();
    return false;
  }
  const std::optional<ConnectionSettings> read =
      ReadConnectionSettings(platform_, settings_path, failure_);
  if (!read) return false;
  const ConnectionSettings& settings = *read;
  try {
    host_.OpenPool(settings);
  } catch (const std::exception& e) {
    failure_ = DescribeDatabase(settings) + ": " + e.what();
    return false;
  }
  host_name_ = settings.hostname;
  data_base_ = platform_.ReadIniString(settings_path, "SERVER", "BANCO", "");
  usuario_ = settings.user;
  senha_ = settings.password;
  return true;
}

std::string BuscarNomeFantasia(ConnectionPool& conexao,
                               const std::string& id_empresa) {
  UnitOfWork uow(conexao);
  Query qry(uow);
  qry.SQL()
      .Add("select NomeFantasia from Empresa")
      .Add("where IdEmpresa = " + QuoteSqlString(id_empresa));
  qry.Open();
  if (qry.IsEmpty()) return {};
  return qry.FieldByName("NomeFantasia").AsString();
}

}  // namespace norvessa
