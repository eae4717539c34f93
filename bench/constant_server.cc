// The framework serving one constant route, for the wrk comparison with a
// bare Beast server. Usage: constant_server PORT
#include <csignal>
#include <cstdlib>
#include <iostream>

#include "framework/api.h"
#include "framework/api_request.h"
#include "framework/api_response.h"

int main(int argc, char** argv) {
  const int port = argc > 1 ? std::atoi(argv[1]) : 9200;
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  norvessa::Api api;
  api.Get("/constant", [](norvessa::ApiRequest&, norvessa::ApiResponse& res,
                          const std::function<void()>&) {
    res.Send("Hello from APINorvessa");
  });
  api.Listen(port, "127.0.0.1");
  std::cout << "listening on 127.0.0.1:" << port << std::endl;
  int sig = 0;
  sigwait(&signals, &sig);
  api.StopListen();
  return 0;
}
