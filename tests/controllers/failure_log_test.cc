#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "controllers/result_message.h"
#include "db/driver_error.h"
#include "framework/api_request.h"
#include "framework/error_log.h"
#include "serialize/dataset_error.h"

namespace norvessa {
namespace {

// What stderr shows after a guarded section of GET /x failed with `fail`.
std::string LoggedFor(const std::function<void()>& fail) {
  RawRequest raw;
  raw.method = "GET";
  raw.raw_path = "/x";
  const ApiRequest request(raw);
  testing::internal::CaptureStderr();
  try {
    fail();
  } catch (...) {
    LogGuardedFailure(request);
  }
  FlushLoggedCauses();
  return testing::internal::GetCapturedStderr();
}

// Faults of the service are always written; what the client sent wrong
// never is, nor each request of an outage already told.
TEST(FailureLogTest, ServiceFaultsAreLoggedAndClientInputIsNot) {
  struct Case {
    const char* what;
    std::function<void()> fail;
    std::string line;  // empty: nothing written
  };
  const Case cases[] = {
      {"misspelt column of a result",
       [] { throw DataSetError("Field 'Nomee' not found"); },
       "GET /x: Field 'Nomee' not found\n"},
      {"dataset misuse",
       [] { throw DataSetError("Dataset not in edit or insert mode"); },
       "GET /x: Dataset not in edit or insert mode\n"},
      {"a stored value the service cannot read",
       [] { throw ConvertError("'x' is not a valid integer value"); },
       "GET /x: 'x' is not a valid integer value\n"},
      {"broken connection",
       [] { throw DriverError("Communication link failure", true, "08S01"); },
       "GET /x: Communication link failure\n"},
      {"a body without a key",
       [] { throw InputError("Field 'grupo' not found"); }, ""},
      {"a value that is not a number",
       [] { throw InputError("'dez' is not a valid integer value"); }, ""},
      {"an outage told once",
       [] { throw DatabaseUnavailable("Database unreachable"); }, ""},
  };
  for (const Case& c : cases) {
    const std::string logged = LoggedFor(c.fail);
    if (c.line.empty()) {
      EXPECT_EQ(logged, "") << c.what;
    } else {
      EXPECT_NE(logged.find(c.line), std::string::npos)
          << c.what << ": " << logged;
    }
  }
}

}  // namespace
}  // namespace norvessa
