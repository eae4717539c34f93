#include "framework/transport/session.h"

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "framework/http_status.h"
#include "framework/transport/wire_format.h"

namespace norvessa::transport {
namespace {

namespace beast = boost::beast;
namespace net = boost::asio;

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

}  // namespace

Session::Session(net::ip::tcp::socket&& socket,
                 std::shared_ptr<TransportContext> context)
    : stream_(std::move(socket)),
      context_(std::move(context)),
      reader_(context_->options),
      body_(context_->bodies) {
  context_->open_connections.fetch_add(1);
}

Session::~Session() {
  context_->sessions.Remove(id_);
  context_->open_connections.fetch_sub(1);
}

void Session::Run() {
  id_ = context_->sessions.Add(weak_from_this());
  deadline_ =
      std::chrono::steady_clock::now() + context_->options.request_deadline;
  net::dispatch(stream_.get_executor(),
                [self = shared_from_this()] { self->Read(); });
}

void Session::Close(bool idle_only) {
  net::post(stream_.get_executor(), [self = shared_from_this(), idle_only] {
    const State state = self->state_.load();
    if (idle_only && state != State::kReading && state != State::kClosing) {
      return;
    }
    self->Shut();
  });
}

void Session::Read() {
  // Silence ends a connection after the idle time, and the whole request
  // must be in by its deadline however steadily its bytes trickle in.
  stream_.expires_at(std::min(
      std::chrono::steady_clock::now() + context_->options.idle_timeout,
      deadline_));
  stream_.async_read_some(
      net::buffer(buffer_),
      [self = shared_from_this()](beast::error_code ec, std::size_t n) {
        self->OnRead(ec, n);
      });
}

void Session::OnRead(beast::error_code ec, std::size_t n) {
  // A client that went away, fell silent or ran out of time gets nothing.
  if (ec) return Shut();
  using Stage = RequestReader::Stage;
  const Stage stage = reader_.Feed(std::string_view(buffer_.data(), n));
  if (stage == Stage::kError) return Answer(reader_.error_status(), {});
  if (stage == Stage::kHeader) return Read();
  auto& ctx = *context_;
  if (!header_seen_) {
    header_seen_ = true;
    head_request_ = reader_.head_request();
    // A declared body takes its room up front, before any of it is read.
    const auto length = reader_.content_length();
    if (length && !body_.GrowTo(*length)) {
      ctx.stats->refused_body_budget.fetch_add(1);
      return Refuse(reader_.HeaderOnly());
    }
    if (stage == Stage::kBody && reader_.expects_continue()) {
      net::async_write(
          stream_, net::buffer(kContinue.data(), kContinue.size()),
          [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) return self->Shut();
            self->Read();
          });
      return;
    }
  }
  // A chunked body takes its room as its chunks arrive.
  if (!body_.GrowTo(reader_.body_bytes())) {
    ctx.stats->refused_body_budget.fetch_add(1);
    return Refuse(reader_.HeaderOnly());
  }
  if (stage == Stage::kDone) return Serve();
  Read();
}

void Session::AddEndpoints(RawRequest& request) {
  beast::error_code ec;
  const auto remote = stream_.socket().remote_endpoint(ec);
  if (!ec) {
    request.remote_addr = remote.address().to_string();
    request.remote_port = remote.port();
  }
  const auto local = stream_.socket().local_endpoint(ec);
  if (!ec) request.local_port = local.port();
}

void Session::Serve() {
  auto& ctx = *context_;
  auto request = std::make_shared<RawRequest>(reader_.TakeRequest());
  AddEndpoints(*request);
  if (ctx.options.access && !ctx.options.access->Admits(*request)) {
    ctx.stats->forbidden.fetch_add(1);
    return Forbid(std::move(*request));
  }
  if (ctx.in_chain.fetch_add(1) >= ctx.options.max_in_chain) {
    ctx.in_chain.fetch_sub(1);
    ctx.stats->refused_in_chain.fetch_add(1);
    return Refuse(std::move(*request));
  }
  state_ = State::kServing;
  // No timer may close the socket under a handler that takes its time.
  stream_.expires_never();
  // The body's room in the budget goes with the request and comes back
  // as soon as the chain is done with it.
  // Both move into the task: a copy left here could outlive the answer
  // when the worker is quicker than this thread, and keep the room taken.
  auto body = std::make_shared<BodyLease>(std::move(body_));
  ctx.workers.Post([self = shared_from_this(), request = std::move(request),
                    body = std::move(body)]() mutable {
    auto& ctx = *self->context_;
    // Waiting for its turn, a request may lose its client (it timed out
    // or gave up); the chain never runs for a client that has gone.
    if (self->ClientGone()) {
      request.reset();
      body.reset();
      ctx.in_chain.fetch_sub(1);
      ctx.stats->abandoned.fetch_add(1);
      return self->Shut();
    }
    RawResponse response;
    try {
      ctx.handler(*request, response);
    } catch (const std::exception& e) {
      response = RawResponse{};
      response.status_code = ToInteger(HTTPStatus::kInternalServerError);
      response.content = e.what();
    } catch (...) {
      response = RawResponse{};
      response.status_code = ToInteger(HTTPStatus::kInternalServerError);
      response.content = "Unknown error";
    }
    request.reset();
    body.reset();
    ctx.in_chain.fetch_sub(1);
    self->Finish(std::move(response));
  });
}

void Session::Refuse(RawRequest request) {
  auto& ctx = *context_;
  AddEndpoints(request);
  RawResponse response;
  response.status_code = ToInteger(HTTPStatus::kInternalServerError);
  response.content = ctx.options.busy_message;
  if (ctx.options.on_refused) {
    try {
      ctx.options.on_refused(request, response);
    } catch (...) {
      // The answer matters more than its log line.
    }
  }
  body_.Reset();
  Answer(response.status_code, ctx.options.busy_message);
}

void Session::Forbid(RawRequest request) {
  auto& ctx = *context_;
  RawResponse response;
  response.status_code = ToInteger(HTTPStatus::kForbidden);
  response.content = std::string(kForbiddenBody);
  response.content_type = "application/json; charset=utf-8";
  if (ctx.options.on_refused) {
    try {
      ctx.options.on_refused(request, response);
    } catch (...) {
      // The answer matters more than its log line.
    }
  }
  body_.Reset();
  out_ = Serialize(response, head_request_);
  WriteFrom(0);
}

bool Session::ClientGone() {
  std::lock_guard lock(socket_mutex_);
  if (!open_) return true;
  char byte;
  const ssize_t n = ::recv(stream_.socket().native_handle(), &byte, 1,
                           MSG_PEEK | MSG_DONTWAIT);
  if (n == 0) return true;
  return n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
}

void Session::Finish(RawResponse response) {
  out_ = Serialize(response, head_request_);
  std::size_t sent = 0;
  {
    // The strand has nothing pending on the socket while a request is
    // served, so the worker writes the answer itself and, in the usual
    // case, closes the connection without waking an I/O thread.
    std::lock_guard lock(socket_mutex_);
    if (!open_) return;
    const int fd = stream_.socket().native_handle();
    while (sent < out_.size()) {
      const ssize_t n = ::send(fd, out_.data() + sent, out_.size() - sent,
                               MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        context_->stats->bytes_sent.fetch_add(static_cast<std::uint64_t>(n),
                                              std::memory_order_relaxed);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        break;
      }
    }
    int unread = 0;
    if (sent == out_.size() && reader_.surplus() == 0 &&
        ::ioctl(fd, FIONREAD, &unread) == 0 && unread == 0) {
      state_ = State::kClosing;
      open_ = false;
      beast::error_code ec;
      stream_.socket().close(ec);
      return;
    }
  }
  // A large answer, a slow reader or unread request bytes: the strand
  // writes the rest and drains before closing.
  net::post(stream_.get_executor(),
            [self = shared_from_this(), sent] { self->WriteFrom(sent); });
}

void Session::Answer(int status, std::string text) {
  RawResponse response;
  response.status_code = status;
  if (!text.empty()) response.content = std::move(text);
  out_ = Serialize(response, head_request_);
  WriteFrom(0);
}

void Session::WriteFrom(std::size_t offset) {
  if (state_ == State::kClosing) return;
  state_ = State::kWriting;
  stream_.expires_after(context_->options.idle_timeout);
  net::async_write(
      stream_, net::buffer(out_.data() + offset, out_.size() - offset),
      [self = shared_from_this()](beast::error_code ec, std::size_t n) {
        self->context_->stats->bytes_sent.fetch_add(n,
                                                    std::memory_order_relaxed);
        self->OnWrite(ec);
      });
}

void Session::OnWrite(beast::error_code ec) {
  if (ec) return Shut();
  state_ = State::kClosing;
  // Half-close, then read what the client still sends until it closes, so
  // that unread request bytes never turn our close into a reset that eats
  // the answer.
  stream_.socket().shutdown(net::ip::tcp::socket::shutdown_send, ec);
  stream_.expires_after(context_->options.linger);
  Drain();
}

void Session::Drain() {
  stream_.async_read_some(
      net::buffer(buffer_),
      [self = shared_from_this()](beast::error_code ec, std::size_t) {
        if (ec) return self->Shut();
        self->Drain();
      });
}

void Session::Shut() {
  state_ = State::kClosing;
  std::lock_guard lock(socket_mutex_);
  if (!open_) return;
  open_ = false;
  beast::error_code ec;
  stream_.socket().shutdown(net::ip::tcp::socket::shutdown_both, ec);
  stream_.socket().close(ec);
}

}  // namespace norvessa::transport
