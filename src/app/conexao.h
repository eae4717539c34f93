#ifndef NORVESSA_APP_CONEXAO_H_
#define NORVESSA_APP_CONEXAO_H_

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
  // HOSTNAME asks for the end of the program; a failure to connect is
  // written to stderr and shows nothing here.
  bool Conectar(const std::string& settings_path);

  const std::string& host_name() const { return host_name_; }
  const std::string& data_base() const { return data_base_; }
  const std::string& usuario() const { return usuario_; }
  const std::string& senha() const { return senha_; }

 private:
  Platform& platform_;
  ServiceHost& host_;
  std::string host_name_;
  std::string data_base_;
  std::string usuario_;
  std::string senha_;
};

// The company's trade name ("" when there is no such company or it has
// none). The id goes into the SQL as a quoted literal.
std::string BuscarNomeFantasia(ConnectionPool& conexao,
                               const std::string& id_empresa);

}  // namespace norvessa

#endif  // NORVESSA_APP_CONEXAO_H_
