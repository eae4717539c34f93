#ifndef NORVESSA_APP_STOP_BUDGET_H_
#define NORVESSA_APP_STOP_BUDGET_H_

#include <chrono>

#include "middleware/stop_budget.h"

namespace norvessa {

// How long a stop may take, step by step. systemd kills the service
// TimeoutStopSec (30 s) after SIGTERM, and whatever the request log still
// holds then is lost: every step has a share, and the shares stay under
// it with a margin.
struct StopBudget {
  // The readiness check's thread ends (a check stuck in a driver is left
  // behind after this).
  static constexpr std::chrono::milliseconds kReadyCheck{2000};
  // Requests in flight finish, or their connections are closed.
  static constexpr std::chrono::milliseconds kInFlightGrace{10000};
  // Handlers still running after that (stuck in a database call) are
  // waited for this long more; then the process ends without them.
  static constexpr std::chrono::milliseconds kHandlersJoin{5000};
  // The request log's last passes.
  static constexpr std::chrono::milliseconds kLogDrain = kLogDrainBudget;
  // What the unit allows.
  static constexpr std::chrono::milliseconds kUnitTimeout{30000};
};

static_assert(StopBudget::kReadyCheck + StopBudget::kInFlightGrace +
                      StopBudget::kHandlersJoin + StopBudget::kLogDrain +
                      std::chrono::seconds(3) <=
                  StopBudget::kUnitTimeout,
              "a stop must end before systemd kills the service");

}  // namespace norvessa

#endif  // NORVESSA_APP_STOP_BUDGET_H_
