// The way to the server: reachability, restarts, half-open links, the
// control file, and the calls that wait on any of them.

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "support/scripted_odbc/driver_support.h"
#include "support/scripted_odbc/scripted_driver.h"

namespace norvessa::testing::scripted {
namespace {

// How often a waiting call looks at the control file.
constexpr auto kControlPoll = std::chrono::milliseconds(20);

std::optional<Clock::time_point> DeadlineIn(SQLULEN seconds) {
  if (seconds == 0) return std::nullopt;
  return Clock::now() + std::chrono::seconds(seconds);
}

// The file's first word in lower case; "up" when there is no file, "" when
// it holds none.
std::string FirstWordOf(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return errno == ENOENT ? "up" : "";
  char buffer[64];
  const std::size_t n = std::fread(buffer, 1, sizeof buffer, f);
  std::fclose(f);
  std::string word;
  for (std::size_t i = 0; i < n; ++i) {
    const char c = buffer[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (word.empty()) continue;
      break;
    }
    word += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return word;
}

}  // namespace

void Server::Changed() {
  ++changes_;
  wake_.notify_all();
}

void Server::CutOpenConnections() {
  for (auto& [key, handle] : handles_) {
    if (handle->type != SQL_HANDLE_DBC) continue;
    auto& c = static_cast<Connection&>(*handle);
    if (c.connected) c.cut = true;
  }
}

void Server::BeginHalfOpen() {
  half_open_ = true;
  for (auto& [key, handle] : handles_) {
    if (handle->type != SQL_HANDLE_DBC) continue;
    auto& c = static_cast<Connection&>(*handle);
    if (c.connected && !c.dead) c.half_open = true;
  }
}

void Server::EndHalfOpen() {
  half_open_ = false;
  // The server gave up on those sessions long ago: the first packet that
  // gets through again is answered with a reset.
  for (auto& [key, handle] : handles_) {
    if (handle->type != SQL_HANDLE_DBC) continue;
    auto& c = static_cast<Connection&>(*handle);
    if (c.half_open) {
      c.half_open = false;
      c.cut = true;
    }
  }
}

void Server::UseControlFile(std::string path) {
  // No file says "up".
  if (control_word_ != "up") ApplyControlWord("up");
  control_path_ = std::move(path);
  control_stamp_ = {};
  control_read_ = {};
  control_word_ = "up";
  PollControl();
}

void Server::PollControl() {
  if (control_path_.empty()) return;
  FileStamp stamp;
  struct stat st {};
  if (::stat(control_path_.c_str(), &st) == 0) {
    stamp = {true, static_cast<std::uint64_t>(st.st_ino),
             static_cast<std::int64_t>(st.st_size),
             static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 +
                 st.st_mtim.tv_nsec};
  }
  // A file rewritten within the clock's tick to the same size looks the
  // same: it is read again every kControlPoll all the same.
  const auto now = Clock::now();
  if (stamp == control_stamp_ && now - control_read_ < kControlPoll) return;
  control_stamp_ = stamp;
  control_read_ = now;
  const std::string word = stamp.exists ? FirstWordOf(control_path_) : "up";
  if (word != control_word_ &&
      (word == "up" || word == "down" || word == "silent" || word == "hang")) {
    ApplyControlWord(word);
  }
}

void Server::ApplyControlWord(const std::string& word) {
  control_word_ = word;
  reachable_ = word != "down";
  connects_hang_ = word == "hang";
  if (word == "silent") {
    BeginHalfOpen();
  } else {
    EndHalfOpen();
  }
  if (word == "down" || word == "hang") CutOpenConnections();
  Changed();
}

bool Server::Block(Lock& lock, std::optional<Clock::time_point> deadline,
                   const std::function<bool()>& done) {
  PollControl();
  if (done()) return true;
  ++blocked_;
  struct Unblock {
    int& blocked;
    ~Unblock() { --blocked; }
  } unblock{blocked_};
  while (true) {
    const auto now = Clock::now();
    if (deadline && now >= *deadline) return false;
    if (control_path_.empty() && !deadline) {
      wake_.wait(lock);
    } else {
      auto until = deadline.value_or(now + kControlPoll);
      if (!control_path_.empty()) until = std::min(until, now + kControlPoll);
      wake_.wait_until(lock, until);
    }
    PollControl();
    if (done()) return true;
  }
}

std::optional<Failure> Server::Reach(Lock& lock, Connection& c,
                                     SQLULEN timeout_seconds) {
  PollControl();
  if (c.half_open && !c.cut && !c.dead) {
    const bool answered = Block(lock, DeadlineIn(timeout_seconds), [&] {
      return !c.half_open || c.cut || c.dead;
    });
    if (!answered) {
      // Nothing came back, not even to the cancel: the driver gives up on
      // the link.
      c.half_open = false;
      return Failure{"HYT00", "Query timeout expired", true};
    }
  }
  if (c.cut) {
    c.cut = false;
    c.dead = true;
  }
  if (c.dead) return Failure{"08S01", "Communication link failure", true};
  return std::nullopt;
}

std::optional<Failure> Server::AwaitNetwork(Lock& lock, const Connection& c) {
  while (connects_hang_ || half_open_) {
    if (connects_hang_) {
      // A server that takes the connection and never answers, behind a
      // driver that ignores its login timeout.
      Block(lock, std::nullopt, [&] { return !connects_hang_; });
      continue;
    }
    const bool through =
        Block(lock, DeadlineIn(c.Attribute(SQL_ATTR_LOGIN_TIMEOUT)),
              [&] { return !half_open_ || connects_hang_; });
    if (!through) return Failure{"HYT00", "Login timeout expired"};
  }
  return std::nullopt;
}

Failure Server::WaitOutHang(Lock& lock, Connection& c,
                            SQLULEN timeout_seconds) {
  const std::uint64_t resets = resets_;
  const std::uint64_t changes = changes_;
  Block(lock, DeadlineIn(timeout_seconds), [&] {
    return resets_ != resets || c.cut || c.dead ||
           (timeout_seconds == 0 && changes_ != changes);
  });
  if (c.cut || c.dead) {
    c.cut = false;
    c.half_open = false;
    c.dead = true;
    return {"08S01", "Communication link failure", true};
  }
  // The cancel of a query on a half-open link gets no answer either.
  const bool lost = c.half_open;
  c.half_open = false;
  return {"HYT00", "Query timeout expired", lost};
}

}  // namespace norvessa::testing::scripted
