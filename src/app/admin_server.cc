#include "app/admin_server.h"

#include <dirent.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

#include "app/openapi.h"
#include "app/service_host.h"
#include "app/stop_budget.h"
#include "controllers/pedido_novo.h"
#include "db/driver_error.h"
#include "framework/api_request.h"
#include "framework/api_response.h"
#include "json/json_text.h"
#include "json/json_value.h"
#include "middleware/api_logger_manager.h"
#include "middleware/compression.h"
#include "text/number_text.h"

namespace norvessa {

// -- ReadyProbe --------------------------------------------------------------

static_assert(ReadyProbe::kDeadline <= StopBudget::kReadyCheck,
              "the stop waits this long for the readiness check");

namespace {

std::atomic<int> abandoned_checks{0};

}  // namespace

struct ReadyProbe::State {
  ConnectionPool* pool = nullptr;
  ConnectionPool::Factory connect;
  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable done;
  bool requested = false;
  bool checking = false;
  bool stop = false;
  bool exited = false;
  bool abandoned = false;
  std::uint64_t finished = 0;
  std::string cause;
  // The check thread's alone.
  std::unique_ptr<Connection> own;
  int write_failures = 0;

  std::string Run();
  void Loop();
};

std::string ReadyProbe::State::Run() {
  try {
    if (connect) {
      if (pool != nullptr) {
        // During an outage the pool's next attempt is made now (or the one
        // under way joined): it answers for the pool, and its success ends
        // the outage at once.
        pool->AttemptNow(kDeadline / 2);
        std::string known = pool->NotReadyCause();
        if (!known.empty()) return known;
      }
      if (!own || own->IsBroken()) {
        own.reset();
        own = connect();
      }
      own->Open("select 1", {});
      return {};
    }
    if (pool == nullptr) return "database: not connected";
    const bool writes_pass = pool->WriteStoredWithin(std::chrono::seconds(1));
    std::unique_ptr<Connection> c;
    try {
      // Opens the file again when the pool closed its connections.
      c = pool->Acquire(kDeadline / 2);
    } catch (const DriverError& e) {
      std::string known = pool->NotReadyCause();
      if (!known.empty()) return known;
      // Every connection busy storing writes: the database serves.
      if (writes_pass) return {};
      return std::string("database: ") + e.what();
    }
    struct GiveBack {
      ConnectionPool& pool;
      std::unique_ptr<Connection>& c;
      ~GiveBack() { pool.Release(std::move(c)); }
    } give_back{*pool, c};
    c->Open("select 1", {});
    std::string known = pool->NotReadyCause();
    if (!known.empty()) return known;
    // Writes stored a moment ago say more than a check would.
    if (writes_pass) {
      write_failures = 0;
      return {};
    }
    try {
      c->CheckWrite(kWriteWait);
      write_failures = 0;
    } catch (const StorageError& e) {
      if (++write_failures >= 2) {
        return std::string("database: writes fail: ") + e.what();
      }
    }
    return {};
  } catch (const std::exception& e) {
    own.reset();
    return std::string("database: ") + e.what();
  } catch (...) {
    own.reset();
    return "database: unknown error";
  }
}

void ReadyProbe::State::Loop() {
  std::unique_lock lock(mutex);
  while (true) {
    wake.wait(lock, [&] { return requested || stop; });
    if (stop) break;
    requested = false;
    checking = true;
    lock.unlock();
    std::string result = Run();
    lock.lock();
    checking = false;
    cause = std::move(result);
    ++finished;
    done.notify_all();
  }
  exited = true;
  done.notify_all();
  if (abandoned) --abandoned_checks;
}

ReadyProbe::ReadyProbe(ConnectionPool* pool, ConnectionPool::Factory connect,
                       std::chrono::milliseconds deadline)
    : state_(std::make_shared<State>()), deadline_(deadline) {
  state_->pool = pool;
  state_->connect = std::move(connect);
  thread_ = std::thread([state = state_] { state->Loop(); });
}

ReadyProbe::~ReadyProbe() {
  std::unique_lock lock(state_->mutex);
  state_->stop = true;
  state_->wake.notify_all();
  // A check on the pool ends within its own limits; one in a driver that
  // never answers is left behind, with what it holds.
  if (state_->done.wait_for(lock, kDeadline, [&] { return state_->exited; })) {
    lock.unlock();
    thread_.join();
    return;
  }
  state_->abandoned = true;
  ++abandoned_checks;
  lock.unlock();
  thread_.detach();
}

int ReadyProbe::AbandonedChecks() { return abandoned_checks.load(); }

std::string ReadyProbe::Check() {
  std::unique_lock lock(state_->mutex);
  const auto until = std::chrono::steady_clock::now() + deadline_;
  // A check already running answers this request too: a dead server
  // holds one thread, not one per request.
  if (!state_->checking) {
    state_->requested = true;
    state_->wake.notify_one();
  }
  const std::uint64_t seen = state_->finished;
  if (!state_->done.wait_until(lock, until,
                               [&] { return state_->finished != seen; })) {
    return "database: no answer within " + FormatInteger(deadline_.count()) +
           " ms";
  }
  return state_->cause;
}

// -- Metrics text ------------------------------------------------------------

namespace {

class Exposition {
 public:
  void Family(std::string_view name, std::string_view type,
              std::string_view help) {
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    out_ += help;
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
  }

  // labels: name="value" pairs, already in order.
  void Sample(
      std::string_view name,
      std::initializer_list<std::pair<std::string_view, std::string_view>>
          labels,
      std::string_view value) {
    out_ += name;
    if (labels.size() > 0) {
      out_ += '{';
      bool first = true;
      for (const auto& [label, text] : labels) {
        if (!first) out_ += ',';
        first = false;
        out_ += label;
        out_ += "=\"";
        for (char c : text) {
          if (c == '\\' || c == '"') {
            out_ += '\\';
            out_ += c;
          } else if (c == '\n') {
            out_ += "\\n";
          } else {
            out_ += c;
          }
        }
        out_ += '"';
      }
      out_ += '}';
    }
    out_ += ' ';
    out_ += value;
    out_ += '\n';
  }

  void Sample(std::string_view name, std::string_view value) {
    Sample(name, {}, value);
  }

  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
};

std::string Number(std::uint64_t value) {
  return FormatInteger(static_cast<std::int64_t>(value));
}

std::string Real(double value) {
  // The general format keeps 15 digits; Prometheus reads "1E-5" too.
  return FormatFloat(value);
}

struct ProcessFigures {
  double cpu_seconds = 0;
  double start_time = 0;
  std::uint64_t virtual_bytes = 0;
  std::uint64_t resident_bytes = 0;
  std::uint64_t open_fds = 0;
  std::uint64_t max_fds = 0;
};

ProcessFigures ReadProcessFigures() {
  ProcessFigures f;
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
  std::ifstream stat_file("/proc/self/stat");
  std::string stat((std::istreambuf_iterator<char>(stat_file)),
                   std::istreambuf_iterator<char>());
  // Fields after the command name, which may hold blanks and parentheses.
  const std::size_t close = stat.rfind(')');
  if (close != std::string::npos) {
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    std::vector<std::string> v;
    while (fields >> field) v.push_back(field);
    // state is field 3; utime 14, stime 15, starttime 22, vsize 23, rss 24.
    auto at = [&](std::size_t n) -> double {
      return n - 3 < v.size() ? std::strtod(v[n - 3].c_str(), nullptr) : 0;
    };
    f.cpu_seconds = (at(14) + at(15)) / ticks;
    f.virtual_bytes = static_cast<std::uint64_t>(at(23));
    f.resident_bytes = static_cast<std::uint64_t>(at(24) * page);
    // The start is counted in ticks since boot. The boot's wall-clock time
    // is in /proc/stat, which a unit with ProcSubset=pid hides; the clock
    // since boot gives the same from here.
    timespec wall{};
    timespec since_boot{};
    clock_gettime(CLOCK_REALTIME, &wall);
    clock_gettime(CLOCK_BOOTTIME, &since_boot);
    const auto seconds = [](const timespec& t) {
      return static_cast<double>(t.tv_sec) +
             static_cast<double>(t.tv_nsec) / 1e9;
    };
    f.start_time = seconds(wall) - seconds(since_boot) + at(22) / ticks;
  }
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ++f.open_fds;
    }
    closedir(dir);
    if (f.open_fds > 0) --f.open_fds;  // the listing's own descriptor
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) f.max_fds = limit.rlim_cur;
  return f;
}

void SendJson(ApiResponse& res, int status, std::string text) {
  res.SendJsonText(std::move(text))
      .Status(status)
      .ContentType("application/json; charset=utf-8");
}

}  // namespace

std::string AdminServer::MetricsText() const {
  Exposition x;
  if (view_.metrics != nullptr) {
    x.Family("apinorvessa_http_requests_total", "counter",
             "Requests the chain answered, by route pattern (\"unmatched\" "
             "when no route took the request), method and status.");
    for (const RequestMetrics::Count& c : view_.metrics->Counts()) {
      x.Sample("apinorvessa_http_requests_total",
               {{"route", c.route}, {"method", c.method}, {"status", c.status}},
               Number(c.value));
    }
    x.Family("apinorvessa_http_request_duration_seconds", "histogram",
             "Time in the chain, from dispatch to the answer, by route "
             "pattern.");
    for (const RequestMetrics::Durations& d :
         view_.metrics->DurationsByRoute()) {
      for (std::size_t b = 0; b < RequestMetrics::kBuckets.size(); ++b) {
        x.Sample(
            "apinorvessa_http_request_duration_seconds_bucket",
            {{"route", d.route}, {"le", Real(RequestMetrics::kBuckets[b])}},
            Number(d.cumulative[b]));
      }
      x.Sample("apinorvessa_http_request_duration_seconds_bucket",
               {{"route", d.route}, {"le", "+Inf"}},
               Number(d.cumulative.back()));
      x.Sample("apinorvessa_http_request_duration_seconds_sum",
               {{"route", d.route}}, Real(d.sum_seconds));
      x.Sample("apinorvessa_http_request_duration_seconds_count",
               {{"route", d.route}}, Number(d.cumulative.back()));
    }
    x.Family("apinorvessa_http_requests_in_chain", "gauge",
             "Requests in the handler chain now (at most 32).");
    x.Sample("apinorvessa_http_requests_in_chain",
             FormatInteger(view_.metrics->in_chain.load()));
  }
  if (view_.api != nullptr) {
    const ServerCounts counts = view_.api->Counts();
    x.Family("apinorvessa_http_requests_refused_total", "counter",
             "Requests answered with the busy message without running the "
             "chain: every slot (and every place in the queue for one) "
             "taken or the wait for one over, or a body past the bytes all "
             "bodies may hold together.");
    x.Sample("apinorvessa_http_requests_refused_total",
             {{"reason", "chain_full"}}, Number(counts.refused_in_chain));
    x.Sample("apinorvessa_http_requests_refused_total",
             {{"reason", "body_budget"}}, Number(counts.refused_body_budget));
    x.Family("apinorvessa_http_requests_waited_total", "counter",
             "Requests that found every chain slot taken and waited for one "
             "(EsperaVagaMs).");
    x.Sample("apinorvessa_http_requests_waited_total", Number(counts.waited));
    x.Family("apinorvessa_http_requests_forbidden_total", "counter",
             "Requests answered 403: the client's address is not in "
             "IPsPermitidos, or its Origin not in OrigensPermitidas.");
    x.Sample("apinorvessa_http_requests_forbidden_total",
             {{"reason", "address"}}, Number(counts.forbidden));
    x.Sample("apinorvessa_http_requests_forbidden_total",
             {{"reason", "origin"}}, Number(counts.forbidden_origin));
    x.Family("apinorvessa_http_requests_misdirected_total", "counter",
             "Requests answered 421: the Host header names a host not in "
             "HostsPermitidos.");
    x.Sample("apinorvessa_http_requests_misdirected_total",
             Number(counts.misdirected));
    x.Family("apinorvessa_http_requests_rejected_total", "counter",
             "Requests the request reader answered itself, by status: "
             "malformed (400), body too large (413), header too large (431), "
             "unknown transfer coding (501).");
    x.Sample("apinorvessa_http_requests_rejected_total", {{"status", "400"}},
             Number(counts.malformed));
    x.Sample("apinorvessa_http_requests_rejected_total", {{"status", "413"}},
             Number(counts.body_too_large));
    x.Sample("apinorvessa_http_requests_rejected_total", {{"status", "431"}},
             Number(counts.header_too_large));
    x.Sample("apinorvessa_http_requests_rejected_total", {{"status", "501"}},
             Number(counts.not_implemented));
    x.Family("apinorvessa_http_connections_closed_total", "counter",
             "Connections closed unanswered or unserved, by reason: the "
             "connection limit (at_cap), the limit per address "
             "(per_address), silence past the idle time (idle), a request "
             "not in by its deadline (deadline).");
    x.Sample("apinorvessa_http_connections_closed_total",
             {{"reason", "at_cap"}}, Number(counts.closed_at_cap));
    x.Sample("apinorvessa_http_connections_closed_total",
             {{"reason", "per_address"}}, Number(counts.closed_per_address));
    x.Sample("apinorvessa_http_connections_closed_total", {{"reason", "idle"}},
             Number(counts.closed_idle));
    x.Sample("apinorvessa_http_connections_closed_total",
             {{"reason", "deadline"}}, Number(counts.closed_deadline));
    x.Family("apinorvessa_http_connections_closed_at_cap_total", "counter",
             "Connections closed on arrival: the connection limit was "
             "reached.");
    x.Sample("apinorvessa_http_connections_closed_at_cap_total",
             Number(counts.closed_at_cap));
    x.Family("apinorvessa_http_response_bytes_total", "counter",
             "Bytes written to clients, headers included.");
    x.Sample("apinorvessa_http_response_bytes_total",
             Number(counts.bytes_sent));
  }
  const CompressionCounts compression = CompressionCounters();
  x.Family("apinorvessa_compressed_responses_total", "counter",
           "Answers sent compressed (deflate or gzip).");
  x.Sample("apinorvessa_compressed_responses_total",
           Number(compression.compressed));
  x.Family("apinorvessa_compression_cache_requests_total", "counter",
           "Compressed answers looked up among the recently compressed "
           "ones: found (hit) or compressed anew (miss).");
  x.Sample("apinorvessa_compression_cache_requests_total", {{"result", "hit"}},
           Number(compression.cache_hits));
  x.Sample("apinorvessa_compression_cache_requests_total", {{"result", "miss"}},
           Number(compression.cache_misses));
  if (view_.pool != nullptr) {
    const int open = view_.pool->open_count();
    const int idle = view_.pool->idle_count();
    x.Family("apinorvessa_db_connections", "gauge",
             "Database connections of the handlers' pool: idle, or busy "
             "(handed out or opening).");
    x.Sample("apinorvessa_db_connections", {{"state", "idle"}},
             FormatInteger(idle));
    x.Sample("apinorvessa_db_connections", {{"state", "busy"}},
             FormatInteger(open > idle ? open - idle : 0));
    x.Family("apinorvessa_db_connections_discarded_total", "counter",
             "Connections closed because they were broken or found dead.");
    x.Sample("apinorvessa_db_connections_discarded_total",
             FormatInteger(view_.pool->discarded_count()));
    x.Family("apinorvessa_db_reconnects_total", "counter",
             "Connections opened in place of a discarded one.");
    x.Sample("apinorvessa_db_reconnects_total",
             Number(view_.pool->reconnect_count()));
    x.Family("apinorvessa_db_statement_errors_total", "counter",
             "Statements (and transaction begins, commits and rollbacks) "
             "the driver failed, by SQLSTATE class (\"none\": no SQLSTATE, "
             "as with the embedded database).");
    for (const auto& [cls, n] : view_.pool->StatementErrors()) {
      x.Sample("apinorvessa_db_statement_errors_total", {{"class", cls}},
               Number(n));
    }
  }
  const OrderCounts orders = OrderCounters();
  x.Family("apinorvessa_orders_created_total", "counter",
           "Orders stored by POST /pedidos/novo.");
  x.Sample("apinorvessa_orders_created_total", Number(orders.created));
  x.Family("apinorvessa_orders_failed_total", "counter",
           "POST /pedidos/novo requests that stored nothing.");
  x.Sample("apinorvessa_orders_failed_total", Number(orders.failed));
  ApiLoggerManager& log = ApiLoggerManager::GetDefaultManager();
  x.Family("apinorvessa_request_log_queue_length", "gauge",
           "Request log entries waiting for the log writer.");
  x.Sample("apinorvessa_request_log_queue_length", Number(log.QueueLength()));
  x.Family("apinorvessa_request_log_dropped_total", "counter",
           "Request log entries that never reached the file: dropped by a "
           "full queue, the logger's or the writer's, in entries or bytes "
           "(queue_full), or lost to a write that failed or to the stop's "
           "drain budget (write_failed).");
  x.Sample("apinorvessa_request_log_dropped_total", {{"reason", "queue_full"}},
           Number(log.DroppedEverywhere()));
  x.Sample("apinorvessa_request_log_dropped_total",
           {{"reason", "write_failed"}}, Number(log.LostEverywhere()));

  const ProcessFigures p = ReadProcessFigures();
  x.Family("process_cpu_seconds_total", "counter",
           "Total user and system CPU time spent in seconds.");
  x.Sample("process_cpu_seconds_total", Real(p.cpu_seconds));
  x.Family("process_open_fds", "gauge", "Number of open file descriptors.");
  x.Sample("process_open_fds", Number(p.open_fds));
  x.Family("process_max_fds", "gauge",
           "Maximum number of open file descriptors.");
  x.Sample("process_max_fds", Number(p.max_fds));
  x.Family("process_virtual_memory_bytes", "gauge",
           "Virtual memory size in bytes.");
  x.Sample("process_virtual_memory_bytes", Number(p.virtual_bytes));
  x.Family("process_resident_memory_bytes", "gauge",
           "Resident memory size in bytes.");
  x.Sample("process_resident_memory_bytes", Number(p.resident_bytes));
  x.Family("process_start_time_seconds", "gauge",
           "Start time of the process since unix epoch in seconds.");
  x.Sample("process_start_time_seconds", Real(p.start_time));
  return x.Take();
}

// -- AdminServer -------------------------------------------------------------

AdminServer::AdminServer(ServiceView view, std::unique_ptr<ReadyProbe> probe)
    : view_(view), probe_(std::move(probe)) {
  // A few slots of its own: operators and their scrapers, never clients.
  admin_.SetChainSlots(4);
  ServerLimits limits;
  limits.max_connections = kMaxConnections;
  limits.max_connections_per_address = 0;
  limits.idle_timeout = kDeadline;
  limits.request_deadline = kDeadline;
  admin_.SetLimits(limits);
  admin_.SetListenerName("Operators'");
  // Its connections come out of the main listener's reserve.
  admin_.SetDescriptorReserve(-1);
  Register();
}

AdminServer::~AdminServer() {
  if (admin_.IsRunning()) admin_.StopListen();
  admin_.ReleaseTransport();
}

void AdminServer::Register() {
  // Whatever answers without a type of its own (404, 405) is plain text.
  admin_.Use(
      [](ApiRequest&, ApiResponse& res, const std::function<void()>& next) {
        next();
        if (res.RawWebResponse().content_type.empty()) {
          res.ContentType("text/plain; charset=utf-8");
        }
      });
  admin_.Get("/live",
             [](ApiRequest&, ApiResponse& res, const std::function<void()>&) {
               SendJson(res, 200, "{\"status\":\"live\"}");
             });
  admin_.Get("/ready", [this](ApiRequest&, ApiResponse& res,
                              const std::function<void()>&) {
    std::string cause;
    if (view_.api == nullptr || !view_.api->IsRunning()) {
      cause = "listener: the API is not listening";
    } else if (!probe_) {
      cause = "database: not connected";
    } else {
      cause = probe_->Check();
    }
    if (cause.empty()) {
      SendJson(res, 200, "{\"status\":\"ready\"}");
      return;
    }
    SendJson(res, 503,
             ToJsonText(JsonValue::Object()
                            .AddPair("status", JsonValue::String("not ready"))
                            .AddPair("cause", JsonValue::String(cause))));
  });
  admin_.Get("/metrics", [this](ApiRequest&, ApiResponse& res,
                                const std::function<void()>&) {
    res.Send(MetricsText())
        .Status(200)
        .ContentType("text/plain; version=0.0.4; charset=utf-8");
  });
  admin_.Get("/openapi.json",
             [](ApiRequest&, ApiResponse& res, const std::function<void()>&) {
               SendJson(res, 200, OpenApiDocument());
             });
}

void AdminServer::Listen(const AdminSettings& settings) {
  admin_.Listen(settings.port, settings.ip);
  const auto address = ParseIpAddress(settings.ip);
  const bool loopback =
      settings.ip == "localhost" ||
      (address && (FormatIpAddress(*address).starts_with("127.") ||
                   FormatIpAddress(*address) == "::1"));
  if (!loopback) {
    const std::string line =
        "Warning: the operators' port " + FormatInteger(admin_.port()) +
        " listens on " + settings.ip +
        " (IPAdmin), which is not a loopback address: /metrics and /ready "
        "are for operators; keep the port on loopback or a management "
        "network\n";
    const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
  }
}

void AdminServer::ListenOn(int native_socket) {
  admin_.ListenOn(native_socket);
}

void AdminServer::StopListen() {
  if (admin_.IsRunning()) admin_.StopListen();
}

}  // namespace norvessa
