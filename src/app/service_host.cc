#include "app/service_host.h"

#include "controllers/cidade_controller.h"
#include "controllers/grupo_controller.h"
#include "controllers/pedido_controller.h"
#include "controllers/pessoa_controller.h"
#include "controllers/produto_controller.h"
#include "controllers/usuario_controller.h"
#include "db/db_error.h"
#include "middleware/api_logger_manager.h"
#include "middleware/compression.h"
#include "middleware/handle_exception.h"
#include "middleware/json_body.h"
#include "middleware/log_file_provider.h"
#include "middleware/paginate.h"

namespace norvessa {

ServiceHost::ServiceHost(Api& api, Resources resources)
    : api_(api), resources_(std::move(resources)) {}

void ServiceHost::RegisterResources(ApiCore& api, ConnectionPool& conexao) {
  UsuarioController::Registry(api, conexao);
  PessoaController::Registry(api, conexao);
  GrupoController::Registry(api, conexao);
  CidadeController::Registry(api, conexao);
  ProdutoController::Registry(api, conexao);
  PedidoController::Registry(api, conexao);
}

ServiceHost::~ServiceHost() = default;

ConnectionPool& ServiceHost::OpenPool(const ConnectionSettings& settings) {
  if (!pool_) {
    pool_ = OpenConnectionPool(settings, kMaxConnections);
  }
  return *pool_;
}

void ServiceHost::SetUp() {
  if (set_up_ || !pool_) return;
  set_up_ = true;
  // Global middleware, in the order in which they wrap every request.
  api_.Use(Compression(1024));
  api_.Use(Paginate());
  api_.Use(JsonBody());
  api_.Use(
      [](ApiRequest& req, ApiResponse& res, const std::function<void()>& next) {
        HandleException(req, res, next);
      });
  ApiLoggerManager::RegisterProvider(LogFileProvider::New());
  api_.Use(ApiLoggerManager::ApiCallback());
  // A request refused for want of room never reaches the logging
  // middleware, yet it was answered: it gets its line all the same.
  api_.OnRefused([](const RawRequest& request, const RawResponse& response) {
    ApiLoggerManager::GetDefaultManager().LogUnchained(request, response);
  });
  resources_(api_, *pool_);
}

void ServiceHost::Listen(int port) { api_.Listen(port, Api::kDefaultHost); }

void ServiceHost::Listen(int port, const ServerLimits& limits) {
  api_.SetLimits(limits);
  Listen(port);
}

void ServiceHost::StopListen() {
  if (api_.IsRunning()) api_.StopListen();
}

void ServiceHost::Shutdown() {
  StopListen();
  api_.ReleaseTransport();
  // Every request has finished: the logger's last pass, then the file
  // writer's, before the connections close.
  ApiLoggerManager::ShutdownDefault();
  if (pool_) pool_->Close();
}

}  // namespace norvessa
