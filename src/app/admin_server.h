#ifndef NORVESSA_APP_ADMIN_SERVER_H_
#define NORVESSA_APP_ADMIN_SERVER_H_

#include <chrono>
#include <memory>
#include <string>
#include <thread>

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

// The check behind /ready, made on a thread of its own that lives as long
// as the probe, with a deadline:
//  1. what the pool knows: an outage (SQL Server unreachable; the check
//     makes the pool's next connection attempt at once, or joins the one
//     under way), a replaced database file whose connections are still
//     closing, or writes failing for want of storage;
//  2. a read, "select 1": on a connection of the probe's own when it has a
//     `connect` (SQL Server: a pool whose connections are all taken still
//     answers), else on one of the pool's (when every one is busy and a
//     write was stored in the last second, the database serves);
//  3. on the pool's connection, a write check (BEGIN IMMEDIATE and
//     ROLLBACK through the writers' turn, waiting at most kWriteWait)
//     unless a write was stored in the last second. Two failures in a row
//     make the database not ready: one is a busy moment.
class ReadyProbe {
 public:
  static constexpr std::chrono::milliseconds kDeadline{2000};
  static constexpr std::chrono::milliseconds kWriteWait{100};

  // `pool` may be null (no database yet); `connect` may be empty.
  ReadyProbe(ConnectionPool* pool, ConnectionPool::Factory connect,
             std::chrono::milliseconds deadline = kDeadline);
  // Joins the check thread; one stuck in a driver past kDeadline is left
  // behind and counted (AbandonedChecks).
  ~ReadyProbe();
  ReadyProbe(const ReadyProbe&) = delete;
  ReadyProbe& operator=(const ReadyProbe&) = delete;

  // Empty when the database answered within the deadline; else why not.
  std::string Check();

  // Check threads left in a driver by a probe that ended.
  static int AbandonedChecks();

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::thread thread_;
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
