#ifndef NORVESSA_SERIALIZE_DATASET_ERROR_H_
#define NORVESSA_SERIALIZE_DATASET_ERROR_H_

#include <stdexcept>

namespace norvessa {

// Misuse of a dataset or a field: "Field 'x' not found", "Dataset not in
// edit or insert mode", "Cannot access field 'x' as type Boolean", ...
class DataSetError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A name or a value that came from outside the service (a request's body
// or path) is missing or unreadable: the sender's matter, not a fault of
// the service. Its messages are those of DataSetError and ConvertError.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Text that is not a number or a date: "'x' is not a valid integer value".
class ConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The JSON export and import: "JSON not defined", "[t] Invalid field
// count", "Cannot find type for field \"x\"".
class DataSetJsonException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace norvessa

#endif  // NORVESSA_SERIALIZE_DATASET_ERROR_H_
