#ifndef NORVESSA_TESTS_CONTROLLERS_RESOURCE_SERVER_H_
#define NORVESSA_TESTS_CONTROLLERS_RESOURCE_SERVER_H_

#include <memory>
#include <string>

#include "db/connection_pool.h"
#include "middleware/api_logger_manager.h"
#include "support/temp_database.h"
#include "support/test_server.h"

namespace norvessa::testing {

// The demo schema with the fixture rows.
std::string FixtureScript();

// The service's middleware and resources over a pool, on 127.0.0.1, with
// the request log going to a Logs folder of its own.
class ResourceServer {
 public:
  // With `pool` empty, a pool on a fresh fixture database.
  explicit ResourceServer(ConnectionPool* pool = nullptr);
  ~ResourceServer();

  std::uint16_t port() const { return server_.port(); }
  TempDatabase& db() { return db_; }
  std::string LogText();

 private:
  TempDatabase db_;
  std::unique_ptr<ConnectionPool> own_pool_;
  ApiLoggerManager logger_;
  TestServer server_;
};

}  // namespace norvessa::testing

#endif  // NORVESSA_TESTS_CONTROLLERS_RESOURCE_SERVER_H_
