#include "support/test_server.h"

#include "support/http_client.h"

namespace norvessa::testing {

TestServer::TestServer(ServerLimits limits)
    : api_(std::make_unique<Api>(limits)) {}

TestServer::~TestServer() {
  if (api_->IsRunning()) api_->StopListen();
}

ServerLimits TestServer::ShortLimits() {
  ServerLimits limits;
  limits.idle_timeout = std::chrono::milliseconds(1500);
  limits.stop_grace = std::chrono::milliseconds(3000);
  return limits;
}

void TestServer::Start() {
  BoundSocket socket;
  port_ = socket.port();
  api_->ListenOn(socket.Release());
}

}  // namespace norvessa::testing
