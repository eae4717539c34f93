#include "resource_server.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "controllers/cidade_controller.h"
#include "controllers/grupo_controller.h"
#include "controllers/pedido_controller.h"
#include "controllers/pessoa_controller.h"
#include "controllers/produto_controller.h"
#include "controllers/usuario_controller.h"
#include "db/connection_factory.h"
#include "middleware/compression.h"
#include "middleware/handle_exception.h"
#include "middleware/json_body.h"
#include "middleware/log_file_provider.h"
#include "middleware/paginate.h"

namespace norvessa::testing {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

std::string FixtureScript() {
  return ReadFile(std::string(NORVESSA_SOURCE_DIR) +
                  "/demo/schema_sqlite.sql") +
         ReadFile(std::string(NORVESSA_SOURCE_DIR) +
                  "/tests/controllers/fixture.sql");
}

ResourceServer::ResourceServer(ConnectionPool* pool) : db_(FixtureScript()) {
  if (pool == nullptr) {
    ConnectionSettings settings;
    settings.driver = "SQLite";
    settings.database = db_.path();
    own_pool_ =
        std::make_unique<ConnectionPool>(MakeConnectionFactory(settings), 8);
    pool = own_pool_.get();
  }
  std::filesystem::create_directories(db_.dir() + "/Logs");
  LogFileConfig config;
  config.dir = db_.dir() + "/Logs";
  logger_.AddProvider(std::make_shared<LogFileProvider>(config));
  Api& api = server_.api();
  api.Use(Compression(1024)).Use(Paginate()).Use(JsonBody());
  api.Use(
      [](ApiRequest& req, ApiResponse& res, const std::function<void()>& next) {
        HandleException(req, res, next);
      });
  api.Use(logger_.Callback());
  UsuarioController::Registry(api, *pool);
  PessoaController::Registry(api, *pool);
  GrupoController::Registry(api, *pool);
  CidadeController::Registry(api, *pool);
  ProdutoController::Registry(api, *pool);
  PedidoController::Registry(api, *pool);
  server_.Start();
}

ResourceServer::~ResourceServer() = default;

std::string ResourceServer::LogText() {
  logger_.Shutdown();  // every entry reaches the file
  std::string text;
  for (const auto& f :
       std::filesystem::directory_iterator(db_.dir() + "/Logs")) {
    text += ReadFile(f.path());
  }
  return text;
}

}  // namespace norvessa::testing
