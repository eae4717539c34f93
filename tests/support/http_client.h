#ifndef NORVESSA_TESTS_SUPPORT_HTTP_CLIENT_H_
#define NORVESSA_TESTS_SUPPORT_HTTP_CLIENT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace norvessa::testing {

// A listening socket on 127.0.0.1 with a port the kernel chose.
class BoundSocket {
 public:
  BoundSocket();
  ~BoundSocket();
  BoundSocket(const BoundSocket&) = delete;
  BoundSocket& operator=(const BoundSocket&) = delete;

  // Hands the descriptor over; the caller now owns it.
  int Release();
  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// A port for a program under test to listen on, free now and taken from
// below the kernel's range for outgoing connections: a port probed there
// and let go may be taken by any client socket of the machine (a benchmark,
// another test) before the program binds it.
std::uint16_t FreePortForAProgram();

struct HttpReply {
  int status = 0;
  std::string reason;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // "" when absent; names without regard to case.
  std::string Header(std::string_view name) const;
  bool HasHeader(std::string_view name) const;
};

// An open client connection.
class ClientConnection {
 public:
  explicit ClientConnection(std::uint16_t port);
  // From another loopback address as its source (127.0.0.9, say): a
  // second client address without any network set-up.
  ClientConnection(std::uint16_t port, const char* source);
  ~ClientConnection();
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;

  void Send(std::string_view bytes);
  // Reads until the server closes (or 10 s pass).
  std::string ReadAll();
  // Waits up to 10 s for whatever arrives next.
  std::string ReadSome();
  // True when the server closed without sending anything more.
  bool WaitClosed(int timeout_ms);

 private:
  int fd_ = -1;
};

// Sends the bytes on a new connection and returns everything the server
// wrote before closing.
std::string SendRaw(std::uint16_t port, std::string_view bytes);

HttpReply ParseReply(const std::string& raw);

// Whether ::1 can be bound on this host.
bool HasIpv6Loopback();
// As SendRaw, to [::1].
std::string SendRawIpv6(std::uint16_t port, std::string_view bytes);

// One request with Content-Length (when there is a body) and
// Connection: close; Host is 127.0.0.1:port unless `headers` give one.
HttpReply Request(
    std::uint16_t port, std::string_view method, std::string_view target,
    const std::vector<std::pair<std::string, std::string>>& headers = {},
    std::string_view body = {});

}  // namespace norvessa::testing

#endif  // NORVESSA_TESTS_SUPPORT_HTTP_CLIENT_H_
