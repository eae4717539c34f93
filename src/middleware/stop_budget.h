#ifndef NORVESSA_MIDDLEWARE_STOP_BUDGET_H_
#define NORVESSA_MIDDLEWARE_STOP_BUDGET_H_

#include <chrono>

namespace norvessa {

// The request log's share of the service's stop: how long the log file
// writer's last pass may go on writing before the entries still unwritten
// are counted as dropped, so that a backlog never outlasts the service
// manager's patience (systemd kills after TimeoutStopSec).
inline constexpr std::chrono::seconds kLogDrainBudget{10};

}  // namespace norvessa

#endif  // NORVESSA_MIDDLEWARE_STOP_BUDGET_H_
