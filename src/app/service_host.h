#ifndef NORVESSA_APP_SERVICE_HOST_H_
#define NORVESSA_APP_SERVICE_HOST_H_

#include <functional>
#include <memory>

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
  // Registers every resource's routes, in the service's order.
  using Resources = std::function<void(ApiCore&, ConnectionPool&)>;

  explicit ServiceHost(Api& api, Resources resources = RegisterResources);
  ~ServiceHost();
  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  Api& api() { return api_; }

  // Opens the first connection of the pool (once; later calls keep the
  // pool). Throws DbError when the database cannot be reached.
  ConnectionPool& OpenPool(const ConnectionSettings& settings);
  ConnectionPool* pool() { return pool_.get(); }

  // Global middleware, then each resource's routes, and the request log
  // line of every request the server turns away itself; once.
  void SetUp();

  // Listens on all local addresses.
  void Listen(int port);
  // The same with the server's limits as the settings give them.
  void Listen(int port, const ServerLimits& limits);
  void StopListen();
  bool IsRunning() const { return api_.IsRunning(); }

  // Stops accepting, lets the requests in the chain finish (10 s grace,
  // then closes their sockets), joins the transport's threads, drains the
  // request log, and closes the database connections. Called by the host
  // itself, never from a static destructor.
  void Shutdown();

  // Users, persons, groups, cities and states, products, orders.
  static void RegisterResources(ApiCore& api, ConnectionPool& conexao);

 private:
  Api& api_;
  Resources resources_;
  std::unique_ptr<ConnectionPool> pool_;
  bool set_up_ = false;
};

}  // namespace norvessa

#endif  // NORVESSA_APP_SERVICE_HOST_H_
