// The server's state as tests set it and read it, and the record of calls.

#include <algorithm>
#include <mutex>
#include <utility>

#include "support/scripted_odbc/driver_support.h"
#include "support/scripted_odbc/scripted_driver.h"

namespace norvessa::testing::scripted {

Server& Server::Instance() {
  // Never destroyed: a call may still wait in it while the process exits.
  static Server* const server = new Server;
  return *server;
}

Server::Server() {
  UseBackend(FromEnvironment("SCRIPTED_ODBC_BACKEND"));
  UseControlFile(FromEnvironment("SCRIPTED_ODBC_CONTROL"));
}

// --- What tests call -------------------------------------------------------

void Server::Reset() {
  std::lock_guard lock(mutex_);
  answers_.clear();
  calls_.clear();
  failures_.clear();
  reachable_ = true;
  dead_known_at_once_ = false;
  piece_bytes_ = 0;
  next_serial_ = 0;
  connect_attempts_ = 0;
  personality_ = ScriptPersonality::kByName;
  connects_hang_ = false;
  EndHalfOpen();
  for (auto& [key, handle] : handles_) {
    if (handle->type == SQL_HANDLE_DBC) {
      static_cast<Connection&>(*handle).calls_before_connect.clear();
    }
  }
  UseBackend(FromEnvironment("SCRIPTED_ODBC_BACKEND"));
  UseControlFile(FromEnvironment("SCRIPTED_ODBC_CONTROL"));
  ++resets_;
  Changed();
}

void Server::Answer(ScriptAnswer answer) {
  std::lock_guard lock(mutex_);
  answers_.push_back(std::move(answer));
}

void Server::SetReachable(bool reachable) {
  std::lock_guard lock(mutex_);
  reachable_ = reachable;
  Changed();
}

void Server::Restart() {
  std::lock_guard lock(mutex_);
  CutOpenConnections();
  Changed();
}

void Server::SetDeadKnownAtOnce(bool at_once) {
  std::lock_guard lock(mutex_);
  dead_known_at_once_ = at_once;
}

void Server::FailNext(std::string function, std::string sqlstate,
                      std::string message, bool kills_connection) {
  std::lock_guard lock(mutex_);
  failures_[std::move(function)].push_back({std::move(sqlstate),
                                            std::move(message),
                                            kills_connection, Origin::kServer});
}

void Server::SetPieceBytes(std::size_t n) {
  std::lock_guard lock(mutex_);
  piece_bytes_ = n;
}

void Server::SetHalfOpen(bool half_open) {
  std::lock_guard lock(mutex_);
  if (half_open) {
    BeginHalfOpen();
  } else {
    EndHalfOpen();
  }
  Changed();
}

void Server::SetPersonality(ScriptPersonality personality) {
  std::lock_guard lock(mutex_);
  personality_ = personality;
}

void Server::SetBackend(std::string path) {
  std::lock_guard lock(mutex_);
  UseBackend(std::move(path));
}

void Server::SetControlFile(std::string path) {
  std::lock_guard lock(mutex_);
  UseControlFile(std::move(path));
  Changed();
}

std::vector<Call> Server::Calls() {
  std::lock_guard lock(mutex_);
  return calls_;
}

int Server::ConnectAttempts() {
  std::lock_guard lock(mutex_);
  return connect_attempts_;
}

int Server::OpenConnections() {
  std::lock_guard lock(mutex_);
  return static_cast<int>(
      std::count_if(handles_.begin(), handles_.end(), [](const auto& entry) {
        return entry.second->type == SQL_HANDLE_DBC &&
               static_cast<const Connection&>(*entry.second).connected;
      }));
}

int Server::Blocked() {
  std::lock_guard lock(mutex_);
  return blocked_;
}

// --- Helpers ---------------------------------------------------------------

Handle* Server::FindAny(SQLSMALLINT type, SQLHANDLE handle) {
  return Find<Handle>(handle, type);
}

SQLRETURN Server::Finish(Handle& handle, Connection* connection, Call call,
                         SQLRETURN rc) {
  handle.rc = rc;
  call.rc = rc;
  call.connection = connection != nullptr ? connection->serial : 0;
  if (connection != nullptr && connection->serial == 0) {
    connection->calls_before_connect.push_back(calls_.size());
  }
  calls_.push_back(std::move(call));
  return rc;
}

std::optional<Failure> Server::TakeFailure(std::string_view function) {
  const auto it = failures_.find(function);
  if (it == failures_.end()) return std::nullopt;
  Failure failure = std::move(it->second.front());
  it->second.pop_front();
  if (it->second.empty()) failures_.erase(it);
  return failure;
}

}  // namespace norvessa::testing::scripted
