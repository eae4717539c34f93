#ifndef NORVESSA_DB_DB_ERROR_H_
#define NORVESSA_DB_DB_ERROR_H_

#include <stdexcept>
#include <string>

namespace norvessa {

// A failure reported by the database driver, with the driver's message.
class DbError : public std::runtime_error {
 public:
  explicit DbError(const std::string& message, bool connection_lost = false)
      : std::runtime_error(message), connection_lost_(connection_lost) {}

  // The connection itself failed (server gone, socket reset): it must not
  // be used again.
  bool connection_lost() const { return connection_lost_; }

 private:
  bool connection_lost_;
};

}  // namespace norvessa

#endif  // NORVESSA_DB_DB_ERROR_H_
