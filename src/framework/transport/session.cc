#include "framework/transport/session.h"

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <cerrno>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "framework/ascii.h"
#include "framework/charset.h"
#include "framework/http_status.h"
#include "framework/url_decode.h"

namespace norvessa::transport {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr std::string_view kDefaultContentType = "text/html; charset=utf-8";

// The method overrides apply to POST only, the first one present winning.
constexpr std::string_view kOverrideHeaders[] = {
    "X-HTTP-Method-Override", "X-HTTP-Method", "X-METHOD-OVERRIDE"};

RawRequest ToRawRequest(http::request<http::string_body>&& msg,
                        const net::ip::tcp::socket& socket) {
  RawRequest raw;
  raw.method = AsciiUpper(std::string_view(msg.method_string()));
  raw.version = "HTTP/" + std::to_string(msg.version() / 10) + "." +
                std::to_string(msg.version() % 10);
  const std::string_view target = msg.target();
  const std::size_t q = target.find('?');
  raw.raw_path = std::string(target.substr(0, q));
  if (q != std::string_view::npos)
    raw.query = std::string(target.substr(q + 1));
  raw.path_info = DecodePathLenient(raw.raw_path);
  for (const auto& field : msg) {
    raw.headers.emplace_back(std::string(field.name_string()),
                             std::string(field.value()));
  }
  if (raw.method == "POST") {
    for (std::string_view name : kOverrideHeaders) {
      const std::string_view value = raw.Header(name);
      if (!value.empty()) {
        raw.method = AsciiUpper(TrimBlanks(value));
        break;
      }
    }
  }
  raw.body = std::move(msg.body());
  beast::error_code ec;
  const auto remote = socket.remote_endpoint(ec);
  if (!ec) {
    raw.remote_addr = remote.address().to_string();
    raw.remote_port = remote.port();
  }
  const auto local = socket.local_endpoint(ec);
  if (!ec) raw.local_port = local.port();
  return raw;
}

// Status line, headers and body of one answer. A response without any body
// gets the small HTML page of its status, except for HEAD and the statuses
// that never carry one; a body without a content type is HTML in UTF-8.
std::string Serialize(RawResponse& raw, bool head_request) {
  int code = raw.status_code;
  if (code < 100 || code > 999) {
    code = ToInteger(HTTPStatus::kInternalServerError);
  }
  const bool bodiless_status = code < 200 || code == 204 || code == 304;
  const std::string_view reason = ReasonPhrase(code);

  std::string body;
  if (raw.content_stream) {
    body = std::move(*raw.content_stream);
  } else if (raw.content) {
    body = EncodeText(*raw.content, CharsetFromContentType(raw.content_type));
  }
  if (body.empty() && !head_request && !bodiless_status) {
    body = "<HTML><BODY><B>" + std::to_string(code) + " " +
           std::string(reason) + "</B></BODY></HTML>";
  }
  std::string content_type = std::move(raw.content_type);
  if (!body.empty() && content_type.empty()) {
    content_type = std::string(kDefaultContentType);
  }

  std::string out;
  out.reserve(body.size() + 256);
  out += "HTTP/1.1 ";
  out += std::to_string(code);
  out += ' ';
  out += reason;
  out += "\r\n";
  const auto header = [&out](std::string_view name, std::string_view value) {
    if (value.empty()) return;
    out += name;
    out += ": ";
    // A line break inside a value would start a header of its own.
    for (char c : value) out += (c == '\r' || c == '\n') ? ' ' : c;
    out += "\r\n";
  };
  header("Content-Type", content_type);
  header("Content-Encoding", raw.content_encoding);
  header("Server", raw.server);
  header("Allow", raw.allow);
  header("Location", raw.location);
  header("Content-Version", raw.content_version);
  for (const auto& [name, value] : raw.custom_headers) header(name, value);
  header("Connection", "close");
  if (!bodiless_status || code == 304) {
    header("Content-Length", std::to_string(body.size()));
  }
  out += "\r\n";
  if (!bodiless_status && !head_request) out += body;
  return out;
}

}  // namespace

Session::Session(net::ip::tcp::socket&& socket,
                 std::shared_ptr<TransportContext> context)
    : stream_(std::move(socket)), context_(std::move(context)) {}

Session::~Session() { context_->sessions.Remove(id_); }

void Session::Run() {
  id_ = context_->sessions.Add(weak_from_this());
  net::dispatch(stream_.get_executor(),
                [self = shared_from_this()] { self->ReadHeader(); });
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

void Session::ReadHeader() {
  parser_.emplace();
  parser_->header_limit(
      static_cast<std::uint32_t>(context_->options.header_limit));
  parser_->body_limit(context_->options.body_limit);
  stream_.expires_after(context_->options.idle_timeout);
  http::async_read_header(
      stream_, buffer_, *parser_,
      [self = shared_from_this()](beast::error_code ec, std::size_t) {
        self->OnHeader(ec);
      });
}

void Session::OnHeader(beast::error_code ec) {
  if (ec) return OnReadError(ec);
  const auto& header = parser_->get();
  head_request_ = header.method() == http::verb::head;
  const auto expect = header.find(http::field::expect);
  if (expect != header.end() &&
      EqualsIgnoreCase(expect->value(), "100-continue") &&
      !parser_->is_done()) {
    net::async_write(
        stream_, net::buffer(kContinue.data(), kContinue.size()),
        [self = shared_from_this()](beast::error_code ec, std::size_t) {
          if (ec) return self->Shut();
          self->ReadBody();
        });
    return;
  }
  ReadBody();
}

void Session::ReadBody() {
  if (parser_->is_done()) return OnBody({});
  // The body arrives piece by piece and the idle timer restarts with each
  // piece: a large body on a slow link is fine, a silent client is not.
  stream_.expires_after(context_->options.idle_timeout);
  http::async_read_some(
      stream_, buffer_, *parser_,
      [self = shared_from_this()](beast::error_code ec, std::size_t) {
        if (ec) return self->OnBody(ec);
        self->ReadBody();
      });
}

void Session::OnBody(beast::error_code ec) {
  if (ec) return OnReadError(ec);
  Serve();
}

void Session::OnReadError(beast::error_code ec) {
  if (ec == http::error::header_limit) {
    return Answer(ToInteger(HTTPStatus::kRequestHeaderFieldsTooLarge), {});
  }
  if (ec == http::error::body_limit) {
    return Answer(ToInteger(HTTPStatus::kPayloadTooLarge), {});
  }
  // A malformed request gets 400; a client that went away or fell silent
  // gets nothing.
  const bool http_error =
      ec.category() ==
      http::make_error_code(http::error::bad_method).category();
  if (http_error && ec != http::error::end_of_stream &&
      ec != http::error::partial_message && ec != http::error::short_read) {
    return Answer(ToInteger(HTTPStatus::kBadRequest), {});
  }
  Shut();
}

void Session::Serve() {
  auto& ctx = *context_;
  if (ctx.in_chain.fetch_add(1) >= ctx.options.max_in_chain) {
    ctx.in_chain.fetch_sub(1);
    return Answer(ToInteger(HTTPStatus::kInternalServerError),
                  ctx.options.busy_message);
  }
  state_ = State::kServing;
  // No timer may close the socket under a handler that takes its time.
  stream_.expires_never();
  auto request = std::make_shared<const RawRequest>(
      ToRawRequest(parser_->release(), stream_.socket()));
  ctx.workers.Post([self = shared_from_this(), request] {
    RawResponse response;
    try {
      self->context_->handler(*request, response);
    } catch (const std::exception& e) {
      response = RawResponse{};
      response.status_code = ToInteger(HTTPStatus::kInternalServerError);
      response.content = e.what();
    } catch (...) {
      response = RawResponse{};
      response.status_code = ToInteger(HTTPStatus::kInternalServerError);
      response.content = "Unknown error";
    }
    self->context_->in_chain.fetch_sub(1);
    self->Finish(std::move(response));
  });
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
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        break;
      }
    }
    int unread = 0;
    if (sent == out_.size() && buffer_.size() == 0 &&
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
      [self = shared_from_this()](beast::error_code ec, std::size_t) {
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
      net::buffer(drain_buffer_),
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
