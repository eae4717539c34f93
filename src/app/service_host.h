#ifndef NORVESSA_APP_SERVICE_HOST_H_
#define NORVESSA_APP_SERVICE_HOST_H_

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "app/admin_server.h"
#include "db/connection_factory.h"
#include "db/connection_pool.h"
#include "framework/api.h"

namespace norvessa {

// What the start sequence assembles: the database connections, the global
// middleware and the resources' routes on the registry, and the server.
// The pool, the middleware and the routes are set up once per process, so
// a second start never runs a handler twice.
class ServiceHost {
 public:
  static constexpr int kMaxConnections = Api::kMaxInChain;
  // How long the start waits for the first connection: the drivers' login
  // timeout (15 s) and a margin, whatever a driver does with that timeout.
  static constexpr std::chrono::milliseconds kConnectDeadline =
      std::chrono::seconds(16);
  // Registers every resource's routes, in the service's order.
  using Resources = std::function<void(ApiCore&, ConnectionPool&)>;
  // Opens a pool of up to that many connections, its first one open.
  using PoolOpener = std::function<std::unique_ptr<ConnectionPool>(
      const ConnectionSettings&, int)>;

  explicit ServiceHost(Api& api, Resources resources = RegisterResources);
  ~ServiceHost();
  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  Api& api() { return api_; }

  // Opens the first connection of the pool (once; later calls keep the
  // pool). Throws DriverError when the database cannot be reached, and when
  // the connect has not returned within the deadline: a thread stuck in a
  // driver cannot be cancelled, so it is left behind, and whatever it
  // opens later is closed again on that thread.
  ConnectionPool& OpenPool(const ConnectionSettings& settings);
  ConnectionPool* pool() { return pool_.get(); }

  // Another way to open the pool and another deadline (tests).
  void SetPoolOpener(PoolOpener opener, std::chrono::milliseconds deadline);

  // Connects the start gave up on that are still running, in the whole
  // process. While there are any, the process ends with _exit: static
  // destructors must not run under a thread inside a driver.
  static int AbandonedConnects();

  // Global middleware, then each resource's routes, and the request log
  // line of every request the server turns away itself; once.
  void SetUp();

  // The operators' listener, started and stopped with the main one from
  // the next Listen on; none when empty. Its metrics count the main
  // server's requests from the first Listen that has it.
  void SetAdmin(std::optional<AdminSettings> settings);
  AdminServer* admin() { return admin_.get(); }

  // Listens on `address` ("0.0.0.0": all local addresses); then the
  // operators' listener, if set. When that one cannot listen, the main one
  // stops again and the error names the setting.
  void Listen(int port, const std::string& address = Api::kDefaultHost);
  // The same with the server's limits as the settings give them.
  void Listen(int port, const ServerLimits& limits,
              const std::string& address = Api::kDefaultHost);
  void StopListen();
  bool IsRunning() const { return api_.IsRunning(); }

  // Stops accepting, lets the requests in the chain finish (the in-flight
  // grace, then closes their sockets), joins the transport's threads
  // (waiting for handlers still running up to their share of the stop
  // budget), drains the request log, and closes the database connections.
  // Called by the host itself, never from a static destructor. False when
  // a handler never returned: its threads are left, and the process must
  // end without static destructors.
  bool Shutdown();

  // Users, persons, groups, cities and states, products, orders.
  static void RegisterResources(ApiCore& api, ConnectionPool& conexao);

 private:
  Api& api_;
  Resources resources_;
  PoolOpener opener_ = OpenConnectionPool;
  std::chrono::milliseconds connect_deadline_ = kConnectDeadline;
  std::unique_ptr<ConnectionPool> pool_;
  ConnectionSettings settings_;
  bool set_up_ = false;
  std::optional<AdminSettings> admin_settings_;
  std::shared_ptr<RequestMetrics> metrics_;
  std::unique_ptr<AdminServer> admin_;
};

}  // namespace norvessa

#endif  // NORVESSA_APP_SERVICE_HOST_H_
