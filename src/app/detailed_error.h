#ifndef NORVESSA_APP_DETAILED_ERROR_H_
#define NORVESSA_APP_DETAILED_ERROR_H_

#include <stdexcept>
#include <string>

namespace norvessa {

// An error whose text the operator sees as it is, with what the text
// leaves out (a path, a key, the system's reason) for the message's
// details.
class DetailedError : public std::runtime_error {
 public:
  DetailedError(const std::string& text, std::string detail)
      : std::runtime_error(text), detail_(std::move(detail)) {}

  const std::string& detail() const { return detail_; }

 private:
  std::string detail_;
};

}  // namespace norvessa

#endif  // NORVESSA_APP_DETAILED_ERROR_H_
