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
constexpr std::string_view kJsonType = "application/json; charset=utf-8";

}  // namespace

Session::Session(net::ip::tcp::socket&& socket,
                 std::shared_ptr<TransportContext> context, Peer peer)
    : stream_(std::move(socket)),
      context_(std::move(context)),
      peer_(std::move(peer)),
      reader_(context_->options),
      body_(context_->bodies),
      wait_timer_(stream_.get_executor()) {
  context_->open_connections.fetch_add(1);
}

Session::~Session() {
  context_->sessions.Remove(id_);
  if (peer_.counted) context_->peers.Remove(peer_.address);
  context_->open_connections.fetch_sub(1);
}

void Session::Run() {
  id_ = context_->sessions.Add(weak_from_this());
  const auto& options = context_->options;
  auto allowed_time = options.request_deadline;
  // Every request of a peer outside the allow-list is refused on its head
  // alone: it gets no more time than a head needs.
  if (options.access && !options.access->MayAdmit(peer_.address)) {
    allowed_time = std::min(allowed_time, options.refused_peer_deadline);
  }
  deadline_ = std::chrono::steady_clock::now() + allowed_time;
  net::dispatch(stream_.get_executor(),
                [self = shared_from_this()] { self->Read(); });
}

void Session::Close(bool idle_only) {
  net::post(stream_.get_executor(), [self = shared_from_this(), idle_only] {
    const State state = self->state_.load();
    if (idle_only && state != State::kReading && state != State::kClosing) {
      return;
    }
    if (state == State::kWaiting) {
      // A grant on its way finds the session closing and gives the slot
      // back.
      self->context_->slots.Withdraw(self.get());
      self->wait_timer_.cancel();
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
  auto& ctx = *context_;
  // A client that went away, fell silent or ran out of time gets nothing.
  if (ec) {
    if (ec == beast::error::timeout) {
      if (std::chrono::steady_clock::now() >= deadline_) {
        ctx.stats->closed_deadline.fetch_add(1, std::memory_order_relaxed);
      } else {
        ctx.stats->closed_idle.fetch_add(1, std::memory_order_relaxed);
      }
    }
    return Shut();
  }
  using Stage = RequestReader::Stage;
  const Stage stage = reader_.Feed(std::string_view(buffer_.data(), n));
  if (stage == Stage::kError) return RejectMalformed(reader_.error_status());
  if (stage == Stage::kHeader) return Read();
  if (!header_seen_) {
    header_seen_ = true;
    head_request_ = reader_.head_request();
    // Before any body byte is read, any budget taken or 100 Continue
    // sent.
    if (!AdmitHead()) return;
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
  // The body takes its room in the budget as its bytes arrive, never on
  // the strength of a declared length.
  if (!body_.GrowTo(reader_.body_bytes())) {
    ctx.stats->refused_body_budget.fetch_add(1);
    return Refuse(reader_.HeaderOnly());
  }
  if (stage == Stage::kDone) return Serve();
  Read();
}

bool Session::AdmitHead() {
  auto& ctx = *context_;
  const bool may_wait = ctx.options.slot_wait.count() > 0;
  if (ctx.options.access) {
    RawRequest head = reader_.HeaderOnly();
    AddEndpoints(head);
    const AccessRules& rules = *ctx.options.access;
    if (!rules.proxies.empty()) {
      const auto client = rules.ClientAddress(head);
      judged_client_ = client ? FormatIpAddress(*client) : peer_.text;
      head.forwarded_client = judged_client_;
    }
    const AccessRules::Verdict verdict = rules.Judge(head);
    if (verdict != AccessRules::Verdict::kAdmitted) {
      RawResponse answer;
      answer.content_type = std::string(kJsonType);
      answer.status_code = ToInteger(HTTPStatus::kForbidden);
      answer.content = std::string(kForbiddenBody);
      if (verdict == AccessRules::Verdict::kAddress) {
        ctx.stats->forbidden.fetch_add(1);
      } else if (verdict == AccessRules::Verdict::kOrigin) {
        ctx.stats->forbidden_origin.fetch_add(1);
      } else {
        ctx.stats->misdirected.fetch_add(1);
        answer.status_code = ToInteger(HTTPStatus::kMisdirectedRequest);
        answer.content = std::string(kMisdirectedBody);
      }
      Reject(std::move(head), std::move(answer));
      return false;
    }
    if (ctx.slots.Full(may_wait)) {
      ctx.stats->refused_in_chain.fetch_add(1);
      Refuse(std::move(head));
      return false;
    }
    return true;
  }
  if (ctx.slots.Full(may_wait)) {
    ctx.stats->refused_in_chain.fetch_add(1);
    Refuse(reader_.HeaderOnly());
    return false;
  }
  return true;
}

void Session::AddEndpoints(RawRequest& request) const {
  request.remote_addr = peer_.text;
  request.remote_port = peer_.port;
  request.local_port = peer_.local_port;
  request.forwarded_client = judged_client_;
}

void Session::Serve() {
  auto& ctx = *context_;
  auto request = std::make_shared<RawRequest>(reader_.TakeRequest());
  AddEndpoints(*request);
  // The slot is taken only now that the whole body is in: a slow body
  // never holds one.
  const bool may_wait = ctx.options.slot_wait.count() > 0;
  switch (ctx.slots.Take(shared_from_this(), may_wait)) {
    case ChainSlots::Outcome::kTaken:
      return Dispatch(std::move(request));
    case ChainSlots::Outcome::kQueued:
      ctx.stats->waited.fetch_add(1, std::memory_order_relaxed);
      return Wait(std::move(request));
    case ChainSlots::Outcome::kFull:
      ctx.stats->refused_in_chain.fetch_add(1);
      return Refuse(std::move(*request));
  }
}

void Session::Wait(std::shared_ptr<RawRequest> request) {
  state_ = State::kWaiting;
  waiting_ = std::move(request);
  stream_.expires_never();
  wait_timer_.expires_after(context_->options.slot_wait);
  wait_timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
    if (ec || self->state_ != State::kWaiting) return;
    if (!self->context_->slots.Withdraw(self.get())) return;  // granted
    self->state_ = State::kWriting;
    beast::error_code ignored;
    self->stream_.socket().cancel(ignored);
    self->context_->stats->refused_in_chain.fetch_add(1);
    self->Refuse(std::move(*self->waiting_));
    self->waiting_.reset();
  });
  WatchWhileWaiting();
}

void Session::WatchWhileWaiting() {
  // A client that leaves while it waits gives its place up; bytes it sends
  // meanwhile are past its request and only counted. The socket is only
  // waited on, never read through the stream, so that no read of the
  // stream is pending when the answer's drain starts one.
  stream_.socket().async_wait(
      net::socket_base::wait_read,
      [self = shared_from_this()](beast::error_code ec) {
        if (self->state_ != State::kWaiting) return;
        if (!ec) {
          const ssize_t n =
              ::recv(self->stream_.socket().native_handle(),
                     self->buffer_.data(), self->buffer_.size(), MSG_DONTWAIT);
          if (n > 0) {
            self->reader_.Feed(std::string_view(self->buffer_.data(),
                                                static_cast<std::size_t>(n)));
            return self->WatchWhileWaiting();
          }
          if (n < 0 &&
              (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return self->WatchWhileWaiting();
          }
        }
        if (self->context_->slots.Withdraw(self.get())) {
          self->wait_timer_.cancel();
          self->waiting_.reset();
          self->context_->stats->abandoned.fetch_add(1);
        }
        // Granted meanwhile: the grant finds the session closing and gives
        // the slot back.
        self->Shut();
      });
}

void Session::SlotGranted() {
  net::post(stream_.get_executor(), [self = shared_from_this()] {
    if (self->state_ != State::kWaiting) {
      self->context_->slots.Give();
      return;
    }
    self->wait_timer_.cancel();
    beast::error_code ignored;
    self->stream_.socket().cancel(ignored);
    self->Dispatch(std::move(self->waiting_));
  });
}

void Session::StopWaiting() {
  net::post(stream_.get_executor(), [self = shared_from_this()] {
    if (self->state_ != State::kWaiting) return;
    self->state_ = State::kWriting;
    self->wait_timer_.cancel();
    beast::error_code ignored;
    self->stream_.socket().cancel(ignored);
    self->context_->stats->refused_in_chain.fetch_add(1);
    self->Refuse(std::move(*self->waiting_));
    self->waiting_.reset();
  });
}

void Session::Dispatch(std::shared_ptr<RawRequest> request) {
  auto& ctx = *context_;
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
      ctx.slots.Give();
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
    ctx.slots.Give();
    self->Finish(std::move(response));
  });
}

void Session::Refuse(RawRequest request) {
  RawResponse response;
  response.status_code = ToInteger(HTTPStatus::kInternalServerError);
  response.content = context_->options.busy_message;
  // The client may ask again in a moment rather than at once.
  response.custom_headers.emplace_back("Retry-After", "1");
  Reject(std::move(request), std::move(response));
}

void Session::Reject(RawRequest request, RawResponse response) {
  auto& ctx = *context_;
  if (ctx.options.on_refused) {
    AddEndpoints(request);
    try {
      ctx.options.on_refused(request, response);
    } catch (...) {
      // The answer matters more than its log line.
    }
  }
  body_.Reset();
  Reply(std::move(response));
}

void Session::RejectMalformed(int status) {
  auto& stats = *context_->stats;
  switch (status) {
    case ToInteger(HTTPStatus::kPayloadTooLarge):
      stats.body_too_large.fetch_add(1, std::memory_order_relaxed);
      break;
    case ToInteger(HTTPStatus::kRequestHeaderFieldsTooLarge):
      stats.header_too_large.fetch_add(1, std::memory_order_relaxed);
      break;
    case ToInteger(HTTPStatus::kNotImplemented):
      stats.not_implemented.fetch_add(1, std::memory_order_relaxed);
      break;
    default:
      stats.malformed.fetch_add(1, std::memory_order_relaxed);
  }
  RawResponse response;
  response.status_code = status;
  // Only a request whose request line could be read has a line in the
  // log: bytes that are not HTTP at all would let a scan fill it.
  if (const auto head = reader_.RequestLine()) {
    return Reject(std::move(*head), std::move(response));
  }
  body_.Reset();
  Reply(std::move(response));
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

void Session::Reply(RawResponse response) {
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
  // the answer. A client still sending its body goes on until it has
  // sent it, within bounds, and then reads the answer.
  stream_.socket().shutdown(net::ip::tcp::socket::shutdown_send, ec);
  drain_until_ =
      std::chrono::steady_clock::now() + context_->options.drain_time;
  Drain();
}

void Session::Drain() {
  const auto& options = context_->options;
  if (drained_ >= options.drain_bytes) return Shut();
  stream_.expires_at(std::min(
      std::chrono::steady_clock::now() + options.drain_idle, drain_until_));
  stream_.async_read_some(
      net::buffer(buffer_),
      [self = shared_from_this()](beast::error_code ec, std::size_t n) {
        if (ec) return self->Shut();
        self->drained_ += n;
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
