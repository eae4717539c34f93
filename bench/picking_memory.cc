// The heap a picking list holds while it is answered, and its CPU time:
// every allocation is counted (the global operator new and delete are
// replaced), GET /pedidos/separacao is answered in process through the
// order routes and the JSON body middleware (no sockets, no compression),
// and the most bytes live above idle during one request is printed next
// to the answer's size, with the CPU time and the allocations per request.
// Other routes of the order and product resources can be asked too.
// Usage: picking_memory <database> [path (/pedidos/separacao)] [repeats (20)]

#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include "controllers/pedido_controller.h"
#include "controllers/produto_controller.h"
#include "db/connection_factory.h"
#include "db/connection_pool.h"
#include "framework/api.h"
#include "framework/api_request.h"
#include "framework/api_response.h"
#include "middleware/json_body.h"

namespace {

std::atomic<long long> g_live{0};
std::atomic<long long> g_peak{0};
std::atomic<long long> g_allocations{0};

void* Counted(void* p) {
  if (p == nullptr) throw std::bad_alloc();
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  const long long now =
      g_live.fetch_add(static_cast<long long>(malloc_usable_size(p))) +
      static_cast<long long>(malloc_usable_size(p));
  long long peak = g_peak.load();
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
  return p;
}

void Uncounted(void* p) {
  if (p == nullptr) return;
  g_live.fetch_sub(static_cast<long long>(malloc_usable_size(p)));
  std::free(p);
}

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

void* operator new(std::size_t n) { return Counted(std::malloc(n ? n : 1)); }
void* operator new[](std::size_t n) { return Counted(std::malloc(n ? n : 1)); }
void* operator new(std::size_t n, std::align_val_t a) {
  return Counted(std::aligned_alloc(static_cast<std::size_t>(a),
                                    (n + static_cast<std::size_t>(a) - 1) /
                                        static_cast<std::size_t>(a) *
                                        static_cast<std::size_t>(a)));
}
void* operator new[](std::size_t n, std::align_val_t a) {
  return operator new(n, a);
}
void operator delete(void* p) noexcept { Uncounted(p); }
void operator delete[](void* p) noexcept { Uncounted(p); }
void operator delete(void* p, std::size_t) noexcept { Uncounted(p); }
void operator delete[](void* p, std::size_t) noexcept { Uncounted(p); }
void operator delete(void* p, std::align_val_t) noexcept { Uncounted(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Uncounted(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  Uncounted(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  Uncounted(p);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <database> [path] [repeats]\n", argv[0]);
    return 2;
  }
  using namespace norvessa;
  const std::string path = argc > 2 ? argv[2] : "/pedidos/separacao";
  const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 20;
  ConnectionSettings settings;
  settings.driver = "SQLite";
  settings.database = argv[1];
  ConnectionPool pool(MakeConnectionFactory(settings), 2);
  Api api;
  api.Use(JsonBody());
  PedidoController::Registry(api, pool);
  ProdutoController::Registry(api, pool);
  RawRequest raw;
  raw.method = "GET";
  raw.raw_path = path;
  raw.path_info = path;
  auto answer = [&] {
    RawResponse out;
    ApiRequest req(raw);
    ApiResponse res(out);
    api.Execute(req, res);
    return out;
  };
  // The first request opens the connection and prepares the statement.
  const RawResponse first = answer();
  long long most = 0;
  std::size_t size = 0;
  const double cpu_before = CpuSeconds();
  const long long allocations_before = g_allocations.load();
  for (int i = 0; i < repeats; ++i) {
    const long long idle = g_live.load();
    g_peak.store(idle);
    const RawResponse out = answer();
    most = std::max(most, g_peak.load() - idle);
    size = out.content ? out.content->size() : 0;
  }
  const double cpu = (CpuSeconds() - cpu_before) / repeats;
  const long long allocations =
      (g_allocations.load() - allocations_before) / repeats;
  std::printf(
      "%s: status %d, answer %zu bytes; heap above idle at most %lld bytes "
      "(%.2f x the answer); %.3f ms CPU and %lld allocations per request "
      "(%d requests)\n",
      path.c_str(), first.status_code, size, most,
      size ? static_cast<double>(most) / static_cast<double>(size) : 0.0,
      cpu * 1000, allocations, repeats);
  return 0;
}
