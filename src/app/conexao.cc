#include "app/conexao.h"

#include <unistd.h>

#include "app/program_paths.h"
#include "db/query.h"
#include "db/sql_lexer.h"
#include "db/unit_of_work.h"

namespace norvessa {

bool Conexao::Conectar(const std::string& settings_path) {
  auto read = [&](const char* key) {
    return platform_.ReadIniString(settings_path, "SERVER", key, "");
  };
  const std::string host_name = read("HOSTNAME");
  if (host_name.empty()) {
    platform_.Terminate();
    return false;
  }
  ConnectionSettings settings;
  settings.driver = read("DRIVER");
  settings.hostname = host_name;
  settings.database = read("BANCO");
  settings.user = read("USUARIO");
  settings.password = read("SENHA");
  settings.odbc_driver = read("ODBCDRIVER");
  settings.odbc_extra = read("ODBCEXTRA");
  if (settings.driver == "SQLite" || settings.driver == "sqlite") {
    settings.database = ResolvePath(settings.database,
                                    DirectoryOf(platform_.ProgramFilePath()));
  }
  try {
    host_.OpenPool(settings);
  } catch (const std::exception& e) {
    // The operator sees only the fixed message; the cause goes to stderr.
    const std::string line = "Conectar: " + std::string(e.what()) + "\n";
    const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
    return false;
  }
  host_name_ = settings.hostname;
  data_base_ = read("BANCO");
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
