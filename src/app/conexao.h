#ifndef NORVESSA_APP_CONEXAO_H_
#define NORVESSA_APP_CONEXAO_H_

#include <optional>
#include <string>

#include "app/platform.h"
#include "app/service_host.h"

namespace norvessa {

// Opens the database from the connection settings file ([SERVER]).
class Conexao {
 public:
  Conexao(Platform& platform, ServiceHost& host)
      : platform_(platform), host_(host) {}

  // True when the database is open; fills the four texts. An empty
  // HOSTNAME asks for the end of the program; a failure to connect shows
  // nothing here and leaves its cause in failure().
  bool Conectar(const std::string& settings_path);

  const std::string& host_name() const { return host_name_; }
  const std::string& data_base() const { return data_base_; }
  const std::string& usuario() const { return usuario_; }
  const std::string& senha() const { return senha_; }
  // After a failed Conectar: what was tried and why it failed, for the
  // operator ("SQL Server at erp-db port 1433 (ODBC driver FreeTDS): ...").
  const std::string& failure() const { return failure_; }

 private:
  Platform& platform_;
  ServiceHost& host_;
  std::string host_name_;
  std::string data_base_;
  std::string usuario_;
  std::string senha_;
  std::string failure_;
};

// [SERVER] of the connection settings file, the SQLite path resolved
// against the program's folder. Nothing, with the reason in `failure`, for
// a driver that is not known (the caller checks HOSTNAME itself).
std::optional<ConnectionSettings> ReadConnectionSettings(
    Platform& platform, const std::string& settings_path, std::string& failure);

// Where a connect with these settings goes, in the operator's words:
// "SQL Server at host port 1433 (ODBC driver FreeTDS)", "SQL Server
// instance SALES on host (...)", "SQLite database /path".
std::string DescribeDatabase(const ConnectionSettings& settings);

// The company's trade name ("" when there is no such company or it has
// none). The id goes into the SQL as a quoted literal.
std::string BuscarNomeFantasia(ConnectionPool& conexao,
                               const std::string& id_empresa);

}  // namespace norvessa

#endif  // NORVESSA_APP_CONEXAO_H_
