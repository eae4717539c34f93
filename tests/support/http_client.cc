#include "support/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <random>
#include <stdexcept>

#include "text/ascii.h"

namespace norvessa::testing {
namespace {

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

}  // namespace

BoundSocket::BoundSocket() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr = Loopback(0);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd_, 64) != 0) {
    throw std::runtime_error("bind/listen on 127.0.0.1:0 failed");
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
}

std::uint16_t FreePortForAProgram() {
  int first_ephemeral = 32768;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> first_ephemeral;
  const int high = std::max(first_ephemeral, 2048);
  const int low = std::max(1024, high - 12000);
  static std::mt19937 random{std::random_device{}()};
  std::uniform_int_distribution<int> pick(low, high - 1);
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int port = pick(random);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) break;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool free =
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    if (free) return static_cast<std::uint16_t>(port);
  }
  throw std::runtime_error("no free port below the ephemeral range");
}

BoundSocket::~BoundSocket() {
  if (fd_ >= 0) ::close(fd_);
}

int BoundSocket::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

std::string HttpReply::Header(std::string_view name) const {
  for (const auto& [k, v] : headers) {
    if (EqualsIgnoreCase(k, name)) return v;
  }
  return {};
}

bool HttpReply::HasHeader(std::string_view name) const {
  for (const auto& [k, v] : headers) {
    if (EqualsIgnoreCase(k, name)) return true;
  }
  return false;
}

ClientConnection::ClientConnection(std::uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = Loopback(port);
  if (fd_ < 0 ||
      ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    throw std::runtime_error("connect to 127.0.0.1:" + std::to_string(port) +
                             " failed");
  }
}

ClientConnection::ClientConnection(std::uint16_t port, const char* source) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  ::inet_pton(AF_INET, source, &from.sin_addr);
  sockaddr_in addr = Loopback(port);
  if (fd_ < 0 ||
      ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    throw std::runtime_error("connect to 127.0.0.1:" + std::to_string(port) +
                             " from " + source + " failed");
  }
}

ClientConnection::~ClientConnection() {
  if (fd_ >= 0) ::close(fd_);
}

void ClientConnection::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // the server may close early, e.g. on an oversized request
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string ClientConnection::ReadAll() {
  std::string out;
  char buf[65536];
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

std::string ClientConnection::ReadSome() {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, 10000) <= 0) return {};
  char buf[65536];
  const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

bool ClientConnection::WaitClosed(int timeout_ms) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) <= 0) return false;
  char c;
  return ::recv(fd_, &c, 1, MSG_PEEK) <= 0;
}

std::string SendRaw(std::uint16_t port, std::string_view bytes) {
  ClientConnection c(port);
  c.Send(bytes);
  return c.ReadAll();
}

bool HasIpv6Loopback() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  const bool ok =
      ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

std::string SendRawIpv6(std::uint16_t port, std::string_view bytes) {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_port = htons(port);
  addr.sin6_addr = in6addr_loopback;
  if (fd < 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("connect to [::1] failed");
  }
  ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  std::string out;
  char buf[65536];
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, 10000) > 0) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

HttpReply ParseReply(const std::string& raw) {
  HttpReply reply;
  const std::size_t head_end = raw.find("\r\n\r\n");
  if (head_end == std::string::npos) return reply;
  std::string_view head(raw.data(), head_end);
  std::size_t line_end = head.find("\r\n");
  const std::string_view status_line = head.substr(0, line_end);
  // "HTTP/1.1 200 OK"
  const std::size_t sp1 = status_line.find(' ');
  const std::size_t sp2 = status_line.find(' ', sp1 + 1);
  reply.status = std::stoi(std::string(status_line.substr(sp1 + 1, 3)));
  if (sp2 != std::string_view::npos) {
    reply.reason = std::string(status_line.substr(sp2 + 1));
  }
  while (line_end != std::string_view::npos) {
    const std::size_t start = line_end + 2;
    line_end = head.find("\r\n", start);
    const std::string_view line = head.substr(
        start, line_end == std::string_view::npos ? head.size() - start
                                                  : line_end - start);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    reply.headers.emplace_back(std::string(line.substr(0, colon)),
                               std::string(TrimBlanks(line.substr(colon + 1))));
  }
  reply.body = raw.substr(head_end + 4);
  return reply;
}

HttpReply Request(
    std::uint16_t port, std::string_view method, std::string_view target,
    const std::vector<std::pair<std::string, std::string>>& headers,
    std::string_view body) {
  std::string req;
  req.append(method).append(" ").append(target).append(" HTTP/1.1\r\n");
  bool host = false;
  for (const auto& [k, v] : headers) host |= strcasecmp(k.c_str(), "Host") == 0;
  if (!host) req += "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  for (const auto& [k, v] : headers) req += k + ": " + v + "\r\n";
  if (!body.empty() || method == "POST" || method == "PUT") {
    req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  req += "Connection: close\r\n\r\n";
  req.append(body);
  return ParseReply(SendRaw(port, req));
}

}  // namespace norvessa::testing
