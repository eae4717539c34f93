#include "framework/request_metrics.h"

#include "text/number_text.h"

namespace norvessa {
namespace {

constexpr std::array<std::string_view, 7> kMethodNames = {
    "GET", "POST", "PUT", "DELETE", "PATCH", "HEAD", "OPTIONS"};

// The codes counted one by one; any other counts under its class.
constexpr std::array<int, 40> kUsualStatuses = {
    100, 101, 200, 201, 202, 204, 206, 301, 302, 303, 304, 307, 308, 400,
    401, 403, 404, 405, 406, 408, 409, 410, 411, 412, 413, 414, 415, 416,
    417, 422, 429, 431, 500, 501, 502, 503, 504, 505, 507, 511};

std::size_t MethodSlot(std::string_view method) {
  for (std::size_t i = 0; i < kMethodNames.size(); ++i) {
    if (kMethodNames[i] == method) return i;
  }
  return kMethodNames.size();
}

std::size_t StatusSlot(int status) {
  for (std::size_t i = 0; i < kUsualStatuses.size(); ++i) {
    if (kUsualStatuses[i] == status) return i;
  }
  const int cls = status / 100;
  return kUsualStatuses.size() +
         static_cast<std::size_t>(cls >= 1 && cls <= 5 ? cls - 1 : 4);
}

std::string StatusLabel(std::size_t slot) {
  if (slot < kUsualStatuses.size()) {
    return FormatInteger(kUsualStatuses[slot]);
  }
  return FormatInteger(
             static_cast<std::int64_t>(slot - kUsualStatuses.size() + 1)) +
         "xx";
}

}  // namespace

RequestMetrics::RequestMetrics(const std::vector<RouteEntry>& routes) {
  static_assert(kStatuses == kUsualStatuses.size() + 5);
  routes_.push_back(std::make_unique<Route>());
  routes_.back()->pattern = kUnmatched;
  for (const RouteEntry& entry : routes) {
    bool known = false;
    for (const auto& r : routes_) known |= r->pattern == entry.pattern;
    if (known) continue;
    routes_.push_back(std::make_unique<Route>());
    routes_.back()->pattern = entry.pattern;
  }
  for (std::size_t i = 1; i < routes_.size(); ++i) {
    index_.emplace(routes_[i]->pattern, i);
  }
}

void RequestMetrics::Record(std::string_view pattern, std::string_view method,
                            int status, std::chrono::nanoseconds elapsed) {
  std::size_t slot = 0;
  if (!pattern.empty()) {
    const auto it = index_.find(pattern);
    if (it != index_.end()) slot = it->second;
  }
  Route& route = *routes_[slot];
  route.counts[MethodSlot(method)][StatusSlot(status)].fetch_add(
      1, std::memory_order_relaxed);
  const double seconds = std::chrono::duration<double>(elapsed).count();
  std::size_t bucket = 0;
  while (bucket < kBuckets.size() && seconds > kBuckets[bucket]) ++bucket;
  route.buckets[bucket].fetch_add(1, std::memory_order_relaxed);
  route.sum_ns.fetch_add(static_cast<std::uint64_t>(elapsed.count()),
                         std::memory_order_relaxed);
}

std::vector<RequestMetrics::Count> RequestMetrics::Counts() const {
  std::vector<Count> out;
  // Registered routes first, the unmatched ones last.
  for (std::size_t n = 1; n <= routes_.size(); ++n) {
    const Route& route = *routes_[n % routes_.size()];
    for (std::size_t m = 0; m < kMethods; ++m) {
      for (std::size_t s = 0; s < kStatuses; ++s) {
        const std::uint64_t value =
            route.counts[m][s].load(std::memory_order_relaxed);
        if (value == 0) continue;
        out.push_back({route.pattern,
                       m < kMethodNames.size() ? std::string(kMethodNames[m])
                                               : std::string("other"),
                       StatusLabel(s), value});
      }
    }
  }
  return out;
}

std::vector<RequestMetrics::Durations> RequestMetrics::DurationsByRoute()
    const {
  std::vector<Durations> out;
  for (std::size_t n = 1; n <= routes_.size(); ++n) {
    const Route& route = *routes_[n % routes_.size()];
    Durations d{route.pattern, {}, 0};
    std::uint64_t running = 0;
    for (std::size_t b = 0; b < route.buckets.size(); ++b) {
      running += route.buckets[b].load(std::memory_order_relaxed);
      d.cumulative[b] = running;
    }
    if (running == 0) continue;
    d.sum_seconds =
        static_cast<double>(route.sum_ns.load(std::memory_order_relaxed)) / 1e9;
    out.push_back(std::move(d));
  }
  return out;
}

}  // namespace norvessa
