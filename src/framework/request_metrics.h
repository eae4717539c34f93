#ifndef NORVESSA_FRAMEWORK_REQUEST_METRICS_H_
#define NORVESSA_FRAMEWORK_REQUEST_METRICS_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "framework/api_core.h"

namespace norvessa {

// Requests counted by route pattern, method and status, and their
// durations by route, for the operators' metrics. The routes are fixed
// when it is made (after every route is registered); recording takes no
// lock and allocates nothing.
class RequestMetrics {
 public:
  // The route label of a request that no route took.
  static constexpr std::string_view kUnmatched = "unmatched";
  // Upper bounds of the duration buckets, in seconds (+Inf follows).
  static constexpr std::array<double, 14> kBuckets = {
      0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
      0.1,    0.25,  0.5,    1,     2.5,  5,     10};

  explicit RequestMetrics(const std::vector<RouteEntry>& routes);
  RequestMetrics(const RequestMetrics&) = delete;
  RequestMetrics& operator=(const RequestMetrics&) = delete;

  // `pattern` as the route tree set it (empty: no route); `method` the
  // request's method token.
  void Record(std::string_view pattern, std::string_view method, int status,
              std::chrono::nanoseconds elapsed);

  // Requests running in the chain now.
  std::atomic<std::int64_t> in_chain{0};

  struct Count {
    std::string route;
    std::string method;
    // The code; a code outside the usual ones counts under its class
    // ("5xx").
    std::string status;
    std::uint64_t value;
  };
  // The non-zero counts, routes in registration order.
  std::vector<Count> Counts() const;

  struct Durations {
    std::string route;
    // Requests at or under each bound of kBuckets, then all of them.
    std::array<std::uint64_t, kBuckets.size() + 1> cumulative;
    double sum_seconds;
  };
  // The routes that took at least one request.
  std::vector<Durations> DurationsByRoute() const;

 private:
  static constexpr std::size_t kMethods = 8;    // GET ... OPTIONS, other
  static constexpr std::size_t kStatuses = 45;  // usual codes, then classes

  struct Route {
    std::string pattern;
    std::array<std::array<std::atomic<std::uint64_t>, kStatuses>, kMethods>
        counts{};
    std::array<std::atomic<std::uint64_t>, kBuckets.size() + 1> buckets{};
    std::atomic<std::uint64_t> sum_ns{0};
  };

  std::vector<std::unique_ptr<Route>> routes_;  // [0] is kUnmatched
  std::unordered_map<std::string_view, std::size_t> index_;
};

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_REQUEST_METRICS_H_
