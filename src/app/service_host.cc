#include "app/service_host.h"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "app/stop_budget.h"
#include "controllers/cidade_controller.h"
#include "controllers/grupo_controller.h"
#include "controllers/pedido_controller.h"
#include "controllers/pessoa_controller.h"
#include "controllers/produto_controller.h"
#include "controllers/usuario_controller.h"
#include "db/driver_error.h"
#include "middleware/api_logger_manager.h"
#include "middleware/compression.h"
#include "middleware/handle_exception.h"
#include "middleware/json_body.h"
#include "middleware/log_file_provider.h"
#include "middleware/paginate.h"
#include "text/ascii.h"

namespace norvessa {
namespace {

std::atomic<int> abandoned_connects{0};

// One first connect, shared by the start, which may stop waiting, and the
// thread that makes it, which may outlive the start.
struct ConnectAttempt {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool abandoned = false;
  std::unique_ptr<ConnectionPool> pool;
  std::exception_ptr error;
};

// "16 s", or "200 ms" below whole seconds.
std::string DurationText(std::chrono::milliseconds d) {
  const auto ms = d.count();
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
  return std::to_string(ms) + " ms";
}

}  // namespace

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
  if (pool_) return *pool_;
  auto attempt = std::make_shared<ConnectAttempt>();
  // The thread inherits the blocked stop signals of the thread that starts.
  std::thread([attempt, opener = opener_, settings] {
    std::unique_ptr<ConnectionPool> pool;
    std::exception_ptr error;
    try {
      pool = opener(settings, kMaxConnections);
    } catch (...) {
      error = std::current_exception();
    }
    std::unique_lock lock(attempt->mutex);
    attempt->done = true;
    if (attempt->abandoned) {
      // Nobody waits any more: what opened closes here, outside the lock,
      // before the process may run its static destructors.
      lock.unlock();
      pool.reset();
      --abandoned_connects;
      return;
    }
    attempt->pool = std::move(pool);
    attempt->error = error;
    attempt->finished.notify_all();
  }).detach();

  std::unique_lock lock(attempt->mutex);
  if (!attempt->finished.wait_for(lock, connect_deadline_,
                                  [&] { return attempt->done; })) {
    attempt->abandoned = true;
    ++abandoned_connects;
    throw DriverError("No answer from the database within " +
                          DurationText(connect_deadline_) +
                          " (the connect was given up)",
                      true);
  }
  if (attempt->error) std::rethrow_exception(attempt->error);
  pool_ = std::move(attempt->pool);
  settings_ = settings;
  return *pool_;
}

void ServiceHost::SetPoolOpener(PoolOpener opener,
                                std::chrono::milliseconds deadline) {
  opener_ = std::move(opener);
  connect_deadline_ = deadline;
}

int ServiceHost::AbandonedConnects() { return abandoned_connects.load(); }

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
  // The folder is never created here; without it every request's line is
  // lost, which the operator learns now rather than at the first request.
  const std::string logs = LogFileConfig::DefaultDir();
  std::error_code ec;
  if (!std::filesystem::is_directory(logs, ec)) {
    const std::string line =
        "Requests will not be logged: the folder " + logs +
        " does not exist (the service never creates it; create it and "
        "lines follow from the next request)\n";
    const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
  }
  ApiLoggerManager::RegisterProvider(LogFileProvider::New());
  api_.Use(ApiLoggerManager::ApiCallback());
  // A request refused for want of room never reaches the logging
  // middleware, yet it was answered: it gets its line all the same.
  api_.OnRefused([](const RawRequest& request, const RawResponse& response) {
    ApiLoggerManager::GetDefaultManager().LogUnchained(request, response);
  });
  resources_(api_, *pool_);
}

void ServiceHost::SetAdmin(std::optional<AdminSettings> settings) {
  admin_settings_ = std::move(settings);
}

void ServiceHost::Listen(int port, const std::string& address) {
  // Descriptors the main listener leaves to the process's files, and to
  // the operators' listener, which clients can then never starve.
  api_.SetDescriptorReserve(
      kReservedDescriptors +
      (admin_settings_ ? AdminServer::kMaxConnections : 0));
  if (admin_settings_ && set_up_ && !metrics_) {
    metrics_ = std::make_shared<RequestMetrics>(api_.RouteList());
    api_.SetRequestMetrics(metrics_);
  }
  api_.Listen(port, address);
  if (!admin_settings_) return;
  if (!admin_) {
    std::unique_ptr<ReadyProbe> probe;
    if (pool_) {
      // SQL Server: reads through a connection of the probe's own. The
      // embedded database: through the pool, never a connection of its
      // own, which could open a file renamed over the one the pool's
      // connections still hold.
      probe = std::make_unique<ReadyProbe>(
          pool_.get(), EqualsIgnoreCase(settings_.driver, "SQLite")
                           ? ConnectionPool::Factory{}
                           : MakeConnectionFactory(settings_, 1));
    }
    admin_ = std::make_unique<AdminServer>(
        ServiceView{&api_, pool_.get(), metrics_.get()}, std::move(probe));
  }
  try {
    admin_->Listen(*admin_settings_);
  } catch (const std::exception& e) {
    api_.StopListen();
    throw std::runtime_error(
        "[API] PortaAdmin=" + std::to_string(admin_settings_->port) +
        " IPAdmin=" + admin_settings_->ip + ": " + e.what());
  }
}

void ServiceHost::Listen(int port, const ServerLimits& limits,
                         const std::string& address) {
  api_.SetLimits(limits);
  Listen(port, address);
}

void ServiceHost::StopListen() {
  if (admin_) admin_->StopListen();
  if (api_.IsRunning()) api_.StopListen();
}

bool ServiceHost::Shutdown() {
  StopListen();
  admin_.reset();
  const bool joined = api_.ReleaseTransport(std::chrono::steady_clock::now() +
                                            StopBudget::kHandlersJoin);
  if (!joined) {
    const std::string line =
        "A request handler has not returned " +
        DurationText(StopBudget::kInFlightGrace + StopBudget::kHandlersJoin) +
        " after the stop began: the service ends without it\n";
    const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
  }
  // Every request has finished (or is given up): the logger's last pass,
  // then the file writer's, before the connections close.
  ApiLoggerManager::ShutdownDefault();
  // A handler still running may hold a connection: the pool stays open.
  if (pool_ && joined) pool_->Close();
  return joined;
}

}  // namespace norvessa
