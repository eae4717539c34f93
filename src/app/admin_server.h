#ifndef NORVESSA_APP_ADMIN_SERVER_H_
#define NORVESSA_APP_ADMIN_SERVER_H_

#include <chrono>
#include <memory>
#include <string>

#include "db/connection_pool.h"
#include "framework/api.h"
#include "framework/request_metrics.h"

namespace norvessa {

// Where the operators' listener listens: Norvessa.ini [API] PortaAdmin and
// IPAdmin.
struct AdminSettings {
  int port = 0;
  std::string ip = "127.0.0.1";
};

// What the operators' listener looks at: the main server, its database
// connections and its request counts. Anything may be missing (no pool
// before the start connected).
struct ServiceView {
  Api* api = nullptr;
  ConnectionPool* pool = nullptr;
  RequestMetrics* metrics = nullptr;
};

// The check behind /ready: one database connection of its own, never one
// of the handlers' pool, asked a trivial query with a deadline.
class ReadyProbe {
 public:
  static constexpr std::chrono::milliseconds kDeadline{2000};

  // `reuse`: the connection stays open between checks and is replaced when
  // broken (SQL Server); otherwise each check opens one (the embedded
  // database, whose open is the check that its file can still be used).
  ReadyProbe(ConnectionPool::Factory connect, bool reuse,
             std::chrono::milliseconds deadline = kDeadline);
  ~ReadyProbe();
  ReadyProbe(const ReadyProbe&) = delete;
  ReadyProbe& operator=(const ReadyProbe&) = delete;

  // Empty when the database answered within the deadline; else why not.
  std::string Check();

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::chrono::milliseconds deadline_;
};

// The operators' listener: GET /live, /ready, /metrics and /openapi.json;
// anything else is 404 in plain text. It has its own transport, threads
// and chain slots, and no request log, so a saturated API still answers
// here.
class AdminServer {
 public:
  // Connections the operators' listener takes at once, kept apart from the
  // main listener's so that clients can never take them all.
  static constexpr int kMaxConnections = 64;
  // A monitor asks and reads within seconds; a connection silent longer
  // only holds a place.
  static constexpr std::chrono::milliseconds kDeadline{5000};

  AdminServer(ServiceView view, std::unique_ptr<ReadyProbe> probe);
  ~AdminServer();
  AdminServer(const AdminServer&) = delete;
  AdminServer& operator=(const AdminServer&) = delete;

  // Fails (port in use, unknown address) with the transport's message.
  // An address that is not a loopback one gets a line on stderr: these
  // answers belong to operators.
  void Listen(const AdminSettings& settings);
  // Tests bind 127.0.0.1:0 themselves.
  void ListenOn(int native_socket);
  void StopListen();
  bool IsRunning() const { return admin_.IsRunning(); }
  int port() const { return admin_.port(); }

  // The Prometheus text exposition (format 0.0.4) of the service now.
  std::string MetricsText() const;

 private:
  void Register();

  ServiceView view_;
  std::unique_ptr<ReadyProbe> probe_;
  Api admin_;
};

}  // namespace norvessa

#endif  // NORVESSA_APP_ADMIN_SERVER_H_
