// The operators' listener: the real program over real sockets, and the
// listener alone next to a saturated server.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/admin_server.h"
#include "db/connection_factory.h"
#include "db/driver_error.h"
#include "db/sqlite/sqlite_connection.h"
#include "db/unit_of_work.h"
#include "framework/api.h"
#include "framework/api_request.h"
#include "framework/api_response.h"
#include "installation.h"
#include "support/http_client.h"
#include "support/temp_database.h"

namespace norvessa {
namespace {

std::uint16_t FreePort() { return testing::FreePortForAProgram(); }

// An installation whose Norvessa.ini has `extra` lines under [API].
struct Service {
  explicit Service(const std::string& extra)
      : port(FreePort()), admin_port(FreePort()), app(std::to_string(port)) {
    std::string ini = "[API]\nPorta=" + std::to_string(port) +
                      "\nIP=http://0.0.0.0\n" + extra;
    size_t at;
    while ((at = ini.find("$ADMIN")) != std::string::npos) {
      ini.replace(at, 6, std::to_string(admin_port));
    }
    Installation::Write(app.root() + "/Norvessa/Config/Norvessa.ini", ini);
  }

  std::uint16_t port;
  std::uint16_t admin_port;
  Installation app;
};

TEST(AdminTest, LiveReadyOpenApiAndPlainNotFound) {
  Service s("PortaAdmin=$ADMIN\n");
  s.app.Start();
  ASSERT_TRUE(WaitForPort(s.port)) << s.app.Stderr();
  ASSERT_TRUE(WaitForPort(s.admin_port)) << s.app.Stderr();
  EXPECT_NE(
      s.app.Stderr().find("operators' port " + std::to_string(s.admin_port)),
      std::string::npos)
      << s.app.Stderr();

  struct Case {
    const char* method;
    const char* path;
    int status;
    std::string type;
    std::string body;  // empty: not compared
  };
  const Case cases[] = {
      {"GET", "/live", 200, "application/json; charset=utf-8",
       R"({"status":"live"})"},
      {"GET", "/ready", 200, "application/json; charset=utf-8",
       R"({"status":"ready"})"},
      {"GET", "/openapi.json", 200, "application/json; charset=utf-8", ""},
      {"GET", "/metrics", 200, "text/plain; version=0.0.4; charset=utf-8", ""},
      {"GET", "/usuarios", 404, "text/plain; charset=utf-8", "Not Found"},
      {"GET", "/", 404, "text/plain; charset=utf-8", "Not Found"},
      {"POST", "/live", 405, "text/plain; charset=utf-8", "Method Not Allowed"},
  };
  for (const Case& c : cases) {
    const testing::HttpReply reply =
        testing::Request(s.admin_port, c.method, c.path);
    EXPECT_EQ(reply.status, c.status) << c.method << " " << c.path;
    EXPECT_EQ(reply.Header("Content-Type"), c.type) << c.path;
    if (!c.body.empty()) {
      EXPECT_EQ(reply.body, c.body) << c.path;
    }
  }
  // The operators' requests are not the API's: the request log and the
  // API's own routes never see them.
  EXPECT_EQ(testing::Request(s.port, "GET", "/live").status, 404);
  EXPECT_EQ(s.app.Stop(SIGTERM), 0) << s.app.Stderr();
}

TEST(AdminTest, NoOperatorsPortWithoutPortaAdmin) {
  for (const std::string extra : {"", "PortaAdmin=\n"}) {
    Service s(extra);
    s.app.Start();
    ASSERT_TRUE(WaitForPort(s.port)) << s.app.Stderr();
    EXPECT_THROW(testing::ClientConnection probe(s.admin_port), std::exception);
    EXPECT_EQ(s.app.Stderr().find("operators' port"), std::string::npos);
    EXPECT_EQ(s.app.Stop(SIGTERM), 0);
  }
}

TEST(AdminTest, AnOperatorsPortInUseFailsTheStart) {
  testing::BoundSocket taken;
  Service s("PortaAdmin=" + std::to_string(taken.port()) + "\n");
  s.app.Start();
  EXPECT_EQ(s.app.Wait(std::chrono::seconds(30)), 1) << s.app.Stderr();
  EXPECT_NE(
      s.app.Stderr().find("[API] PortaAdmin=" + std::to_string(taken.port()) +
                          " IPAdmin=127.0.0.1: "),
      std::string::npos)
      << s.app.Stderr();
  // The main listener did not stay up without it.
  EXPECT_THROW(testing::ClientConnection probe(s.port), std::exception);
}

// The lines of `text` that start with `prefix`.
std::string LinesStarting(const std::string& text, const std::string& prefix) {
  std::string out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    if (line.rfind(prefix, 0) == 0) out += line + "\n";
    pos = end + 1;
  }
  return out;
}

TEST(AdminTest, MetricsCountAKnownSequenceByRoutePattern) {
  Service s("PortaAdmin=$ADMIN\n");
  s.app.Start();
  ASSERT_TRUE(WaitForPort(s.port)) << s.app.Stderr();
  ASSERT_TRUE(WaitForPort(s.admin_port)) << s.app.Stderr();

  EXPECT_EQ(testing::Request(s.port, "POST", "/estados").status, 200);
  EXPECT_EQ(testing::Request(s.port, "POST", "/estados").status, 200);
  EXPECT_EQ(testing::Request(s.port, "PUT", "/estados").status, 405);
  EXPECT_EQ(testing::Request(s.port, "GET", "/nada/1").status, 404);
  // Two paths of one route count under its pattern.
  testing::Request(s.port, "GET", "/pedidos/7");
  testing::Request(s.port, "GET", "/pedidos/8");
  // No table Pedido here: the two reads fail at their statement; the
  // order lacks keys and fails before any.
  testing::Request(s.port, "POST", "/pedidos/novo",
                   {{"Content-Type", "application/json"}},
                   R"({"idempresa":"1","itens":[]})");

  const testing::HttpReply reply =
      testing::Request(s.admin_port, "GET", "/metrics");
  ASSERT_EQ(reply.status, 200);
  const std::string& m = reply.body;
  EXPECT_EQ(LinesStarting(m, "apinorvessa_http_requests_total{"),
            "apinorvessa_http_requests_total{route=\"/estados\","
            "method=\"POST\",status=\"200\"} 2\n"
            "apinorvessa_http_requests_total{route=\"/estados\","
            "method=\"PUT\",status=\"405\"} 1\n"
            "apinorvessa_http_requests_total{route=\"/pedidos/:idpedido\","
            "method=\"GET\",status=\"404\"} 2\n"
            "apinorvessa_http_requests_total{route=\"/pedidos/novo\","
            "method=\"POST\",status=\"404\"} 1\n"
            "apinorvessa_http_requests_total{route=\"unmatched\","
            "method=\"GET\",status=\"404\"} 1\n")
      << m;
  EXPECT_NE(m.find("apinorvessa_http_request_duration_seconds_count{route=\""
                   "/estados\"} 3\n"),
            std::string::npos)
      << m;
  EXPECT_NE(m.find("apinorvessa_http_request_duration_seconds_bucket{route=\""
                   "/pedidos/:idpedido\",le=\"+Inf\"} 2\n"),
            std::string::npos);
  for (const char* line : {
           "apinorvessa_orders_created_total 0\n",
           "apinorvessa_orders_failed_total 1\n",
           "apinorvessa_db_statement_errors_total{class=\"none\"} 2\n",
           "apinorvessa_http_requests_in_chain 0\n",
           "apinorvessa_http_requests_refused_total{reason=\"chain_full\"} 0\n",
           "apinorvessa_db_connections_discarded_total 0\n",
       }) {
    EXPECT_NE(m.find(line), std::string::npos) << line << m;
  }
  for (const char* name :
       {"process_resident_memory_bytes ", "process_open_fds ",
        "process_cpu_seconds_total ", "process_start_time_seconds ",
        "apinorvessa_http_response_bytes_total ",
        "apinorvessa_request_log_queue_length ",
        "apinorvessa_request_log_dropped_total{reason=\"queue_full\"} 0\n",
        "apinorvessa_request_log_dropped_total{reason=\"write_failed\"} ",
        "apinorvessa_db_connections{state=\"idle\"} "}) {
    EXPECT_NE(m.find(name), std::string::npos) << name;
  }

  // Prometheus's own checker reads the exposition.
  const std::string file = s.app.bin() + "/metrics.txt";
  Installation::Write(file, m);
  if (std::system("command -v promtool >/dev/null") != 0) {
    GTEST_SKIP() << "promtool is not installed (scripts/install.sh installs "
                    "Debian's prometheus package)";
  }
  EXPECT_EQ(std::system(("promtool check metrics < " + file).c_str()), 0);
  EXPECT_EQ(s.app.Stop(SIGTERM), 0);
}

// The start time comes from the clocks, not from /proc/stat, which the
// unit's ProcSubset=pid hides.
TEST(AdminTest, TheStartTimeNeedsNoProcStat) {
  Service s("PortaAdmin=$ADMIN\n");
  s.app.hide_proc_stat = true;
  const double before = std::chrono::duration<double>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
  s.app.Start();
  if (!WaitForPort(s.admin_port)) {
    if (s.app.Wait(std::chrono::seconds(30)) ==
        Installation::kCannotHideProcStat) {
      GTEST_SKIP() << "no mount namespace here";
    }
    FAIL() << s.app.Stderr();
  }
  const double after = std::chrono::duration<double>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
  const std::string m = testing::Request(s.admin_port, "GET", "/metrics").body;
  const std::string key = "\nprocess_start_time_seconds ";
  const std::size_t at = m.find(key);
  ASSERT_NE(at, std::string::npos) << m;
  const double started = std::strtod(m.c_str() + at + key.size(), nullptr);
  // Clock ticks are a hundredth of a second: a second either way.
  EXPECT_GE(started, before - 1.0);
  EXPECT_LE(started, after + 1.0);
  EXPECT_EQ(s.app.Stop(SIGTERM), 0);
}

// A file made read-only under a warm pool: the connections already open
// still write, so the service is ready.
TEST(AdminTest, AReadOnlyFileUnderAWarmPoolIsReady) {
  Service s("PortaAdmin=$ADMIN\n");
  UnprivilegedRun run(s.app);
  run.Start();
  ASSERT_TRUE(WaitForPort(s.port)) << run.Stderr();
  ASSERT_TRUE(WaitForPort(s.admin_port)) << run.Stderr();
  EXPECT_EQ(testing::Request(s.admin_port, "GET", "/ready").status, 200);

  ASSERT_EQ(chmod(run.db().c_str(), 0444), 0);
  for (int i = 0; i < 3; ++i) {
    const testing::HttpReply r =
        testing::Request(s.admin_port, "GET", "/ready");
    EXPECT_EQ(r.status, 200) << r.body;
  }
  ASSERT_EQ(chmod(run.db().c_str(), 0644), 0);
  EXPECT_EQ(run.Stop(SIGTERM), 0);
}

// The settings of the embedded database at `path`.
ConnectionSettings SqliteSettings(const std::string& path) {
  ConnectionSettings s;
  s.driver = "SQLite";
  s.database = path;
  return s;
}

// The operators' listener beside a listening API, over the pool of a real
// database file: readiness as the pool sees it.
class PoolReadiness {
 public:
  explicit PoolReadiness(const std::string& path)
      : pool_(OpenConnectionPool(SqliteSettings(path), 32)) {
    testing::BoundSocket api_socket;
    api_.ListenOn(api_socket.Release());
    admin_ = std::make_unique<AdminServer>(
        ServiceView{&api_, pool_.get(), nullptr},
        std::make_unique<ReadyProbe>(pool_.get(), ConnectionPool::Factory{}));
    testing::BoundSocket admin_socket;
    admin_port_ = admin_socket.port();
    admin_->ListenOn(admin_socket.Release());
  }
  ~PoolReadiness() {
    admin_->StopListen();
    api_.StopListen();
  }

  testing::HttpReply Ready() {
    return testing::Request(admin_port_, "GET", "/ready");
  }
  // One write transaction as a handler makes it; false when it failed.
  bool Write(std::size_t bytes = 16) {
    try {
      UnitOfWork uow(*pool_);
      uow.Begin();
      uow.Execute("INSERT INTO T (b) VALUES (:b)",
                  {{"b", std::string(bytes, 'x')}});
      uow.Commit();
      return true;
    } catch (const DriverError&) {
      return false;
    }
  }
  ConnectionPool& pool() { return *pool_; }

 private:
  Api api_;
  std::unique_ptr<ConnectionPool> pool_;
  std::unique_ptr<AdminServer> admin_;
  std::uint16_t admin_port_ = 0;
};

constexpr char kWritable[] = "CREATE TABLE T (b TEXT);";

std::string CauseOf(const testing::HttpReply& r) {
  const std::string key = R"("cause":")";
  const std::size_t at = r.body.find(key);
  if (at == std::string::npos) return {};
  return r.body.substr(at + key.size(), r.body.rfind('"') - at - key.size());
}

TEST(ReadyTest, AnOutsideWriteLockIsNotReadyAtTheSecondFailedCheck) {
  testing::TempDatabase db(kWritable);
  PoolReadiness ready(db.path());
  EXPECT_EQ(ready.Ready().status, 200);
  SqliteConnection outside(db.path());
  outside.Begin();
  // One failed write check is a busy moment; two in a row are not.
  EXPECT_EQ(ready.Ready().status, 200);
  const testing::HttpReply down = ready.Ready();
  EXPECT_EQ(down.status, 503);
  EXPECT_EQ(CauseOf(down), "database: writes fail: database is locked")
      << down.body;
  outside.Rollback();
  EXPECT_EQ(ready.Ready().status, 200);
}

TEST(ReadyTest, FortyHealthyWritersKeepItReady) {
  testing::TempDatabase db(kWritable);
  PoolReadiness ready(db.path());
  std::atomic<bool> stop{false};
  std::atomic<int> stored{0};
  std::atomic<int> failed{0};
  std::vector<std::thread> writers;
  for (int i = 0; i < 40; ++i) {
    writers.emplace_back([&] {
      while (!stop.load()) (ready.Write() ? stored : failed).fetch_add(1);
    });
  }
  while (stored.load() < 200) std::this_thread::yield();
  for (int i = 0; i < 20; ++i) {
    const testing::HttpReply r = ready.Ready();
    EXPECT_EQ(r.status, 200) << r.body;
  }
  stop = true;
  for (std::thread& t : writers) t.join();
  EXPECT_EQ(failed.load(), 0);
}

TEST(ReadyTest, AReplacedFileIsNotReadyUntilItsConnectionsClose) {
  testing::TempDatabase db(kWritable);
  PoolReadiness ready(db.path());
  ASSERT_TRUE(ready.Write());
  db.Exec("VACUUM INTO '" + db.path() + ".new'");
  auto held = std::make_unique<UnitOfWork>(ready.pool());
  ASSERT_EQ(std::rename((db.path() + ".new").c_str(), db.path().c_str()), 0);
  const testing::HttpReply down = ready.Ready();
  EXPECT_EQ(down.status, 503);
  EXPECT_EQ(CauseOf(down), "database file replaced") << down.body;
  held.reset();
  EXPECT_EQ(ready.Ready().status, 200);
  EXPECT_TRUE(ready.Write());
}

// A small file system of its own, mounted for the test.
class SmallDisk {
 public:
  SmallDisk() {
    char tmpl[] = "/tmp/norvessa-disk-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    mounted_ = mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=2m") == 0;
  }
  ~SmallDisk() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  bool mounted() const { return mounted_; }
  const std::string& dir() const { return dir_; }
  // Takes what room is left.
  void Fill() {
    std::FILE* f = std::fopen((dir_ + "/filler").c_str(), "w");
    const std::string block(4096, 'f');
    while (f != nullptr &&
           std::fwrite(block.data(), 1, block.size(), f) == block.size() &&
           std::fflush(f) == 0) {
    }
    if (f != nullptr) std::fclose(f);
  }
  void Free() { std::filesystem::remove(dir_ + "/filler"); }

 private:
  std::string dir_;
  bool mounted_ = false;
};

TEST(ReadyTest, AFullDiskIsNotReadyFromTheFirstFailedWrite) {
  SmallDisk disk;
  if (!disk.mounted()) GTEST_SKIP() << "no tmpfs mount here";
  testing::TempDatabase source(kWritable);
  const std::string path = disk.dir() + "/full.db";
  std::filesystem::copy_file(source.path(), path);
  PoolReadiness ready(path);
  ASSERT_TRUE(ready.Write());
  EXPECT_EQ(ready.Ready().status, 200);

  disk.Fill();
  bool failed = false;
  for (int i = 0; i < 64 && !failed; ++i) failed = !ready.Write(64 * 1024);
  ASSERT_TRUE(failed);
  const testing::HttpReply down = ready.Ready();
  EXPECT_EQ(down.status, 503);
  EXPECT_EQ(CauseOf(down).rfind("database: writes fail: ", 0), 0u) << down.body;

  disk.Free();
  EXPECT_TRUE(ready.Write());
  EXPECT_EQ(ready.Ready().status, 200);
}

// Every chain slot of the API held by a handler that waits: the
// operators' listener answers all the same, readiness included.
// SQL Server away: the pool is in an outage and /ready says so, whatever
// the probe's own connection could do; once the server is back, the check
// makes the pool's next attempt at once instead of waiting for its step,
// and that ends the outage.
TEST(ReadyTest, AnOutageIsNotReadyAndTheCheckEndsIt) {
  testing::TempDatabase db(kWritable);
  std::atomic<bool> down{false};
  std::atomic<int> connects{0};
  ConnectionPool::Factory connect = [&]() -> std::unique_ptr<Connection> {
    ++connects;
    if (down) throw DriverError("Unable to connect: server unavailable", true);
    return std::make_unique<SqliteConnection>(db.path());
  };
  ConnectionPool::Options options;
  options.max_size = 4;
  options.first_retry = std::chrono::seconds(60);
  options.report = [](const std::string&) {};
  ConnectionPool pool(connect, options);
  ReadyProbe probe(&pool, connect);
  EXPECT_EQ(probe.Check(), "");
  std::unique_ptr<Connection> held = pool.Acquire();
  down = true;
  EXPECT_THROW(pool.Acquire(), DriverError);
  EXPECT_EQ(probe.Check(),
            "database unreachable: Unable to connect: server unavailable");
  down = false;
  const int before = connects;
  EXPECT_EQ(probe.Check(), "");
  EXPECT_EQ(pool.NotReadyCause(), "");
  // The check's connection went to the pool: the next request takes it.
  std::unique_ptr<Connection> next = pool.Acquire();
  EXPECT_EQ(connects, before + 1);
  pool.Release(std::move(next));
  pool.Release(std::move(held));
}

// A check stuck in a driver does not hold the stop: the probe ends within
// its deadline, the thread is left behind and counted (the process then
// leaves without static destructors), and it ends when the driver does.
TEST(ReadyTest, AStopWhileACheckHangsLeavesItBehind) {
  std::mutex mutex;
  std::condition_variable cv;
  bool answer = false;
  auto probe = std::make_unique<ReadyProbe>(
      nullptr,
      [&]() -> std::unique_ptr<Connection> {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return answer; });
        throw DriverError("Unable to connect", true);
      },
      std::chrono::milliseconds(200));
  EXPECT_EQ(probe->Check(), "database: no answer within 200 ms");
  probe.reset();
  EXPECT_EQ(ReadyProbe::AbandonedChecks(), 1);
  {
    std::lock_guard lock(mutex);
    answer = true;
  }
  cv.notify_all();
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ReadyProbe::AbandonedChecks() > 0 &&
         std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(ReadyProbe::AbandonedChecks(), 0);
}

TEST(AdminServerTest, ReadyWhileEveryChainSlotIsHeld) {
  testing::TempDatabase db;
  Api api;
  std::mutex mutex;
  std::condition_variable cv;
  bool release = false;
  std::atomic<int> waiting{0};
  api.Get("/slow",
          [&](ApiRequest&, ApiResponse& res, const std::function<void()>&) {
            ++waiting;
            std::unique_lock lock(mutex);
            cv.wait(lock, [&] { return release; });
            res.Send("done");
          });
  auto metrics = std::make_shared<RequestMetrics>(api.RouteList());
  api.SetRequestMetrics(metrics);
  testing::BoundSocket api_socket;
  const std::uint16_t api_port = api_socket.port();
  api.ListenOn(api_socket.Release());

  const std::string path = db.path();
  AdminServer admin(ServiceView{&api, nullptr, metrics.get()},
                    std::make_unique<ReadyProbe>(nullptr, [path] {
                      return std::make_unique<SqliteConnection>(path);
                    }));
  testing::BoundSocket admin_socket;
  const std::uint16_t admin_port = admin_socket.port();
  admin.ListenOn(admin_socket.Release());

  std::vector<std::thread> clients;
  for (int i = 0; i < Api::kMaxInChain; ++i) {
    clients.emplace_back([api_port] {
      EXPECT_EQ(testing::Request(api_port, "GET", "/slow").status, 200);
    });
  }
  while (waiting.load() < Api::kMaxInChain) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // The API itself is full: the next request is turned away.
  EXPECT_EQ(testing::Request(api_port, "GET", "/slow").status, 500);

  EXPECT_EQ(testing::Request(admin_port, "GET", "/ready").status, 200);
  EXPECT_EQ(testing::Request(admin_port, "GET", "/live").status, 200);
  const std::string m = testing::Request(admin_port, "GET", "/metrics").body;
  EXPECT_NE(m.find("apinorvessa_http_requests_in_chain 32\n"),
            std::string::npos)
      << m;
  EXPECT_NE(m.find("apinorvessa_http_requests_refused_total{reason=\""
                   "chain_full\"} 1\n"),
            std::string::npos);
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  cv.notify_all();
  for (std::thread& t : clients) t.join();
  admin.StopListen();
  api.StopListen();
}

}  // namespace
}  // namespace norvessa

namespace norvessa {
namespace {

TEST(AccessSettingsTest, AMalformedListStopsTheStartNamingTheElement) {
  struct Case {
    const char* settings;
    const char* told;
  };
  const Case cases[] = {
      {"IPsPermitidos=10.0.0.1, 10.0.0.999/8\n",
       "'10.0.0.999/8' is not an address or a CIDR range"},
      {"IPsPermitidos=127.0.0.1\nIPsProxy=10.0.0.1, 10.0.0.999/8\n",
       "'10.0.0.999/8' is not an address or a CIDR range"},
      {"OrigensPermitidas=https://a.example, a.example\n",
       "'a.example' is not an origin"},
      {"HostsPermitidos=a.example, b.example:9000\n",
       "'b.example:9000' is not a host name or address"},
      {"IPEscuta=todos\n", "[API] IPEscuta: 'todos' is not an IP address"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    Service s(c.settings);
    s.app.Start();
    EXPECT_EQ(s.app.Wait(std::chrono::seconds(30)), 1);
    EXPECT_NE(s.app.Stderr().find(c.told), std::string::npos) << s.app.Stderr();
  }
}

// A browser page's request (Origin) and a name the service does not go by
// (Host) are answered before the handlers, counted and logged.
TEST(AccessSettingsTest, OriginsAndHostsFromTheSettings) {
  Service s(
      "OrigensPermitidas=https://app.example.com\n"
      "HostsPermitidos=api.example.com, 127.0.0.1\nPortaAdmin=$ADMIN\n");
  std::filesystem::create_directory(s.app.bin() + "/Logs");
  s.app.Start();
  ASSERT_TRUE(WaitForPort(s.port)) << s.app.Stderr();
  ASSERT_TRUE(WaitForPort(s.admin_port)) << s.app.Stderr();
  struct Case {
    std::vector<std::pair<std::string, std::string>> headers;
    int status;
  };
  const Case cases[] = {
      {{}, 200},
      {{{"Origin", "https://app.example.com"}}, 200},
      {{{"Origin", "https://evil.example"}}, 403},
      {{{"Origin", "null"}}, 403},
      {{{"Host", "api.example.com:443"}}, 200},
      {{{"Host", "rebound.example"}}, 421},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(testing::Request(s.port, "POST", "/estados", c.headers).status,
              c.status);
  }
  const std::string m = testing::Request(s.admin_port, "GET", "/metrics").body;
  EXPECT_NE(
      m.find(
          "apinorvessa_http_requests_forbidden_total{reason=\"origin\"} 2\n"),
      std::string::npos)
      << m;
  EXPECT_NE(m.find("apinorvessa_http_requests_misdirected_total 1\n"),
            std::string::npos)
      << m;
  EXPECT_EQ(s.app.Stop(SIGTERM), 0);
  std::string log;
  for (const auto& entry :
       std::filesystem::directory_iterator(s.app.bin() + "/Logs")) {
    log += Installation::Read(entry.path());
  }
  EXPECT_NE(log.find("\"POST /estados\" 421\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\"POST /estados\" 403\r\n"), std::string::npos) << log;
}

TEST(AccessSettingsTest, ARefusedClientGets403AndItsLogLine) {
  Service s("IPsPermitidos=10.0.0.0/8\nPortaAdmin=$ADMIN\n");
  std::filesystem::create_directory(s.app.bin() + "/Logs");
  s.app.Start();
  ASSERT_TRUE(WaitForPort(s.port)) << s.app.Stderr();
  ASSERT_TRUE(WaitForPort(s.admin_port)) << s.app.Stderr();
  const testing::HttpReply reply = testing::Request(s.port, "POST", "/estados");
  EXPECT_EQ(reply.status, 403);
  EXPECT_EQ(reply.body, R"({"error":"Forbidden"})");
  const std::string m = testing::Request(s.admin_port, "GET", "/metrics").body;
  EXPECT_NE(
      m.find(
          "apinorvessa_http_requests_forbidden_total{reason=\"address\"} 1\n"),
      std::string::npos);
  // The chain never ran: no route counted it.
  EXPECT_EQ(m.find("apinorvessa_http_requests_total{"), std::string::npos);
  EXPECT_EQ(s.app.Stop(SIGTERM), 0);
  std::string log;
  for (const auto& entry :
       std::filesystem::directory_iterator(s.app.bin() + "/Logs")) {
    log += Installation::Read(entry.path());
  }
  EXPECT_NE(log.find("/estados"), std::string::npos) << log;
  EXPECT_NE(log.find("403"), std::string::npos) << log;
}

}  // namespace
}  // namespace norvessa
