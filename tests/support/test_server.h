#ifndef NORVESSA_TESTS_SUPPORT_TEST_SERVER_H_
#define NORVESSA_TESTS_SUPPORT_TEST_SERVER_H_

#include <cstdint>
#include <memory>

#include "framework/api.h"

namespace norvessa::testing {

// An Api serving on 127.0.0.1 at a port of its own, with short timeouts.
// Register routes on api() before Start().
class TestServer {
 public:
  explicit TestServer(ServerLimits limits = ShortLimits());
  ~TestServer();

  static ServerLimits ShortLimits();

  Api& api() { return *api_; }
  void Start();
  std::uint16_t port() const { return port_; }

 private:
  std::unique_ptr<Api> api_;
  std::uint16_t port_ = 0;
};

}  // namespace norvessa::testing

#endif  // NORVESSA_TESTS_SUPPORT_TEST_SERVER_H_
