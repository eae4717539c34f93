// A bare Beast server answering the same bytes as constant_server, or the
// JSON text of a file, with keep-alive off: the ceiling the framework is
// measured against.
// Usage: bare_beast_server PORT [THREADS] [JSON_BODY_FILE]
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

// The answer: the constant text, or a JSON body read once at start.
struct Answer {
  std::string content_type = "text/html; charset=utf-8";
  std::string body = "Hello from APINorvessa";
};
const Answer* answer = nullptr;

class Session : public std::enable_shared_from_this<Session> {
 public:
  explicit Session(tcp::socket&& s) : stream_(std::move(s)) {}
  void Run() {
    stream_.expires_after(std::chrono::seconds(30));
    http::async_read(
        stream_, buffer_, req_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) {
          if (ec) return;
          self->Write();
        });
  }

 private:
  void Write() {
    res_.version(11);
    res_.result(http::status::ok);
    res_.set(http::field::content_type, answer->content_type);
    res_.set(http::field::connection, "close");
    res_.body() = answer->body;
    res_.content_length(res_.body().size());
    http::async_write(
        stream_, res_,
        [self = shared_from_this()](beast::error_code, std::size_t) {
          beast::error_code ec;
          self->stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        });
  }
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  http::request<http::string_body> req_;
  http::response<http::string_body> res_;
};

class Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(net::io_context& io, tcp::endpoint ep) : io_(io), acceptor_(io) {
    acceptor_.open(ep.protocol());
    acceptor_.set_option(net::socket_base::reuse_address(true));
    acceptor_.bind(ep);
    acceptor_.listen(net::socket_base::max_listen_connections);
  }
  void Accept() {
    acceptor_.async_accept(
        net::make_strand(io_),
        [self = shared_from_this()](beast::error_code ec, tcp::socket s) {
          if (!ec) std::make_shared<Session>(std::move(s))->Run();
          self->Accept();
        });
  }

 private:
  net::io_context& io_;
  tcp::acceptor acceptor_;
};

int main(int argc, char** argv) {
  const auto port =
      static_cast<unsigned short>(argc > 1 ? std::atoi(argv[1]) : 9201);
  const int threads = argc > 2 ? std::atoi(argv[2]) : 1;
  static Answer the_answer;
  if (argc > 3) {
    std::ifstream in(argv[3], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    the_answer.content_type = "application/json; charset=UTF-8";
    the_answer.body = text.str();
  }
  answer = &the_answer;
  net::io_context io(threads);
  std::make_shared<Listener>(
      io, tcp::endpoint(net::ip::make_address("127.0.0.1"), port))
      ->Accept();
  net::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](beast::error_code, int) { io.stop(); });
  std::cout << "listening on 127.0.0.1:" << port << std::endl;
  std::vector<std::thread> pool;
  for (int i = 1; i < threads; ++i) pool.emplace_back([&] { io.run(); });
  io.run();
  for (auto& t : pool) t.join();
  return 0;
}
