#ifndef NORVESSA_DB_DRIVER_ERROR_H_
#define NORVESSA_DB_DRIVER_ERROR_H_

#include <stdexcept>
#include <string>
#include <utility>

namespace norvessa {

// A failure reported by the database driver, with the driver's message.
class DriverError : public std::runtime_error {
 public:
  explicit DriverError(const std::string& message, bool connection_lost = false,
                       std::string sqlstate = {})
      : std::runtime_error(message),
        connection_lost_(connection_lost),
        sqlstate_(std::move(sqlstate)) {}

  // The connection itself failed (server gone, socket reset): it must not
  // be used again.
  bool connection_lost() const { return connection_lost_; }
  // The ODBC state of the first diagnostic ("08S01"), when a driver gave
  // one.
  const std::string& sqlstate() const { return sqlstate_; }

 private:
  bool connection_lost_;
  std::string sqlstate_;
};

// The database server cannot be reached and the pool waits before it tries
// again: the request fails at once. The outage itself is reported once, when
// it starts, so this error is not worth a line per request.
class DatabaseUnavailable : public DriverError {
 public:
  explicit DatabaseUnavailable(const std::string& message)
      : DriverError(message, false, "08001") {}
};

// A connection would reach another database file than the pool's other
// connections (a file renamed over the path while they are open).
class DatabaseReplaced : public DriverError {
 public:
  DatabaseReplaced(const std::string& message, std::string reason)
      : DriverError(message, true), reason_(std::move(reason)) {}
  // "database file replaced".
  const std::string& reason() const { return reason_; }

 private:
  std::string reason_;
};

// The database could not store a write: its disk is full, its file is
// read-only or failed to read or write, or another process held the write
// lock past the writers' own wait. Readiness counts these.
class StorageError : public DriverError {
 public:
  using DriverError::DriverError;
};

}  // namespace norvessa

#endif  // NORVESSA_DB_DRIVER_ERROR_H_
