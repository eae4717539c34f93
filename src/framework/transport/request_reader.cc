#include "framework/transport/request_reader.h"

#include <algorithm>
#include <array>
#include <boost/asio/buffer.hpp>
#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <string>
#include <utility>
#include <vector>

#include "framework/http_status.h"
#include "framework/transport/wire_format.h"
#include "text/ascii.h"

namespace norvessa::transport {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;

// A body held as text, whose memory follows the bytes that arrived:
// Beast's string_body reserves a declared Content-Length before any of it
// has come, so a length alone would cost its memory.
struct ArrivedTextBody {
  using value_type = std::string;

  static std::uint64_t size(const value_type& body) { return body.size(); }

  class reader {
   public:
    template <bool isRequest, class Fields>
    reader(http::header<isRequest, Fields>&, value_type& body) : body_(body) {}

    void init(const boost::optional<std::uint64_t>& length,
              beast::error_code& ec) {
      declared_ = length.value_or(0);
      ec = {};
    }

    template <class ConstBufferSequence>
    std::size_t put(const ConstBufferSequence& buffers, beast::error_code& ec) {
      const std::size_t extra = beast::buffer_bytes(buffers);
      const std::size_t size = body_.size();
      if (size + extra > body_.capacity()) {
        // Doubling, but never past the declared length once it is near.
        std::size_t want = std::max(size + extra, 2 * body_.capacity());
        if (declared_ >= size + extra && want > declared_) {
          want = static_cast<std::size_t>(declared_);
        }
        body_.reserve(want);
      }
      body_.resize(size + extra);
      boost::asio::buffer_copy(boost::asio::buffer(body_.data() + size, extra),
                               buffers);
      ec = {};
      return extra;
    }

    void finish(beast::error_code& ec) { ec = {}; }

   private:
    value_type& body_;
    std::uint64_t declared_ = 0;
  };
};

using Parser = http::request_parser<ArrivedTextBody>;

// The request line's three parts, when it has them.
struct RequestLineParts {
  std::string method;
  std::string target;
  int version = 11;
};

std::optional<RequestLineParts> SplitRequestLine(std::string_view line) {
  const std::size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos || sp1 == 0) return std::nullopt;
  const std::size_t sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || sp2 == sp1 + 1) return std::nullopt;
  const std::string_view method = line.substr(0, sp1);
  const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string_view version = line.substr(sp2 + 1);
  for (char c : method) {
    const bool token =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
        (c >= '0' && c <= '9') ||
        std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
    if (!token) return std::nullopt;
  }
  for (char c : target) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F) return std::nullopt;
  }
  if (version.size() != 8 || version.substr(0, 5) != "HTTP/" ||
      version[5] < '0' || version[5] > '9' || version[6] != '.' ||
      version[7] < '0' || version[7] > '9') {
    return std::nullopt;
  }
  return RequestLineParts{std::string(method), std::string(target),
                          (version[5] - '0') * 10 + (version[7] - '0')};
}

constexpr int kBadRequest = ToInteger(HTTPStatus::kBadRequest);
constexpr int kPayloadTooLarge = ToInteger(HTTPStatus::kPayloadTooLarge);
constexpr int kHeaderTooLarge =
    ToInteger(HTTPStatus::kRequestHeaderFieldsTooLarge);
constexpr int kNotImplemented = ToInteger(HTTPStatus::kNotImplemented);

// Chunk extensions are never used in practice; a longer chunk-size line is
// an attack on the buffer that holds it until its end arrives.
constexpr std::size_t kMaxChunkLine = 4096;

// The registered transfer codings; any other one is not implemented.
constexpr std::array<std::string_view, 6> kKnownCodings = {
    "chunked", "compress", "deflate", "gzip", "x-compress", "x-gzip"};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimOws(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// A request body framed any other way than by one final "chunked" is
// refused: left to the parser, a coding it does not decode would leave the
// body's bytes to be read as the next request.
int TransferEncodingVerdict(const std::vector<std::string>& values) {
  std::vector<std::string_view> codings;
  for (const std::string& value : values) {
    std::string_view rest = value;
    while (true) {
      const std::size_t comma = rest.find(',');
      const std::string_view element = TrimOws(rest.substr(0, comma));
      if (!element.empty()) codings.push_back(element);
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  for (std::string_view coding : codings) {
    const std::string_view name = TrimOws(coding.substr(0, coding.find(';')));
    bool known = false;
    for (std::string_view k : kKnownCodings) known |= EqualsIgnoreCase(name, k);
    if (!known) return kNotImplemented;
  }
  if (codings.size() != 1 || !EqualsIgnoreCase(codings[0], "chunked")) {
    return kBadRequest;
  }
  return 0;
}

int StatusFor(beast::error_code ec) {
  if (ec == http::error::header_limit) return kHeaderTooLarge;
  if (ec == http::error::body_limit) return kPayloadTooLarge;
  return kBadRequest;
}

// Follows the framing of a chunked body beside the parser, which waits for
// a CRLF however long it takes: here a size or trailer line that ends in a
// bare CR or LF is refused as soon as it arrives.
class ChunkScan {
 public:
  explicit ChunkScan(std::size_t trailer_limit)
      : trailer_limit_(trailer_limit) {}

  // Follows `bytes` up to the end of the next line or run of chunk data;
  // returns how many bytes that was. `whole` tells whether they end a line
  // or are chunk data (which the parser may take in any pieces), and
  // `status` is set when the framing breaks.
  std::size_t Take(std::string_view bytes, bool& whole, int& status) {
    whole = true;
    std::size_t i = 0;
    while (i < bytes.size()) {
      switch (state_) {
        case State::kDone:
        case State::kOff:
          return bytes.size();
        case State::kData: {
          const std::uint64_t n =
              std::min<std::uint64_t>(left_, bytes.size() - i);
          i += static_cast<std::size_t>(n);
          left_ -= n;
          if (left_ == 0) state_ = State::kDataCr;
          return i;
        }
        case State::kDataCr:
          if (bytes[i++] != '\r') {
            status = kBadRequest;
            return i;
          }
          state_ = State::kDataLf;
          break;
        case State::kDataLf:
          if (bytes[i++] != '\n') {
            status = kBadRequest;
            return i;
          }
          state_ = State::kSize;
          line_.clear();
          return i;
        case State::kSize:
        case State::kTrailer: {
          bool line_ended = false;
          status = TakeLineByte(bytes[i++], line_ended);
          if (status != 0 || line_ended) return i;
          break;
        }
      }
    }
    whole = false;
    return i;
  }

 private:
  enum class State { kSize, kData, kDataCr, kDataLf, kTrailer, kDone, kOff };

  int TakeLineByte(char c, bool& line_ended) {
    if (cr_) {
      if (c != '\n') return kBadRequest;
      cr_ = false;
      line_ended = true;
      return EndLine();
    }
    if (c == '\r') {
      cr_ = true;
      return 0;
    }
    if (c == '\n') return kBadRequest;
    if (state_ == State::kSize) {
      if (line_.size() >= kMaxChunkLine) return kBadRequest;
      line_ += c;
    } else {
      ++trailer_line_;
      if (++trailer_bytes_ > trailer_limit_) return kHeaderTooLarge;
    }
    return 0;
  }

  int EndLine() {
    if (state_ == State::kTrailer) {
      if (trailer_line_ == 0) state_ = State::kDone;
      trailer_line_ = 0;
      return 0;
    }
    std::uint64_t size = 0;
    std::size_t digits = 0;
    std::size_t significant = 0;
    for (char c : line_) {
      int v;
      if (c >= '0' && c <= '9') {
        v = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        v = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        v = c - 'A' + 10;
      } else {
        break;
      }
      size = size * 16 + static_cast<std::uint64_t>(v);
      ++digits;
      if (size != 0) ++significant;
    }
    // A line the parser cannot read either, or a size no body limit
    // allows: the parser's verdict follows at once.
    if (digits == 0 || significant > 15) {
      state_ = State::kOff;
      return 0;
    }
    // The parser, given a malformed extension (an unclosed quote), would
    // ask for more bytes for ever instead of refusing the line.
    if (!ValidExtensions(std::string_view(line_).substr(digits))) {
      return kBadRequest;
    }
    left_ = size;
    state_ = size == 0 ? State::kTrailer : State::kData;
    return 0;
  }

  static bool IsTokenChar(char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
        (c >= 'A' && c <= 'Z')) {
      return true;
    }
    return std::string_view("!#$%&'*+-.^_`|~").find(c) !=
           std::string_view::npos;
  }

  // *( BWS ";" BWS name [ BWS "=" BWS ( token / quoted-string ) ] ) BWS
  static bool ValidExtensions(std::string_view s) {
    std::size_t i = 0;
    auto blanks = [&] {
      while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    };
    auto token = [&] {
      const std::size_t start = i;
      while (i < s.size() && IsTokenChar(s[i])) ++i;
      return i > start;
    };
    blanks();
    while (i < s.size()) {
      if (s[i] != ';') return false;
      ++i;
      blanks();
      if (!token()) return false;
      blanks();
      if (i < s.size() && s[i] == '=') {
        ++i;
        blanks();
        if (i < s.size() && s[i] == '"') {
          ++i;
          bool closed = false;
          while (i < s.size()) {
            const auto c = static_cast<unsigned char>(s[i]);
            if (c == '"') {
              ++i;
              closed = true;
              break;
            }
            if (c == '\\') {
              if (++i == s.size()) return false;
            } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
              return false;
            }
            ++i;
          }
          if (!closed) return false;
        } else if (!token()) {
          return false;
        }
        blanks();
      }
    }
    return true;
  }

  const std::size_t trailer_limit_;
  State state_ = State::kSize;
  bool cr_ = false;
  std::string line_;
  std::uint64_t left_ = 0;
  std::size_t trailer_line_ = 0;
  std::size_t trailer_bytes_ = 0;
};

}  // namespace

// The header section is gathered line by line and reaches the parser in
// whole pieces: the request line as soon as it ends (a malformed one is
// refused at once), the fields all together once the blank line arrives.
// So the parser never waits for bytes that could not mend what it has,
// and its verdict is the same however the bytes were cut.
struct RequestReader::Impl {
  explicit Impl(const TransportOptions& o)
      : options(o), chunks(o.header_limit) {
    parser.header_limit(static_cast<std::uint32_t>(
        std::min<std::size_t>(o.header_limit, UINT32_MAX)));
    parser.body_limit(o.body_limit);
    parser.eager(true);
  }

  void Fail(int s) {
    stage = Stage::kError;
    status = s;
  }

  // Hands head[fed, end) to the parser.
  bool FeedHead(std::size_t end) {
    while (fed < end) {
      beast::error_code ec;
      const std::size_t n =
          parser.put(boost::asio::buffer(head.data() + fed, end - fed), ec);
      fed += n;
      if (ec == http::error::need_more) break;
      if (ec) {
        Fail(StatusFor(ec));
        return false;
      }
      if (n == 0) break;
    }
    return true;
  }

  // One line of the header section has ended (its CRLF is in `head`).
  void EndLine() {
    const std::string_view line(head.data() + line_start,
                                head.size() - 2 - line_start);
    line_start = head.size();
    if (!request_line_done) {
      request_line_done = true;
      request_line = SplitRequestLine(line);
      FeedHead(head.size());
      return;
    }
    if (!line.empty()) {
      if (IsBlank(line.front())) {
        // A folded line continues the field before it.
        if (last_field_te) te_values.back() += " " + std::string(line);
        return;
      }
      const std::size_t colon = line.find(':');
      last_field_te =
          colon != std::string_view::npos &&
          EqualsIgnoreCase(line.substr(0, colon), "Transfer-Encoding");
      if (last_field_te) {
        te_values.emplace_back(TrimOws(line.substr(colon + 1)));
      }
      return;
    }
    // The blank line: the whole header is here.
    if (!te_values.empty()) {
      int verdict = TransferEncodingVerdict(te_values);
      // HTTP/1.0 has no transfer codings: its framing would be a guess.
      if (verdict == 0 && parser.get().version() < 11) verdict = kBadRequest;
      if (verdict != 0) return Fail(verdict);
    }
    if (!FeedHead(head.size())) return;
    if (!parser.is_header_done()) return Fail(kBadRequest);
    // Two Host lines that disagree leave the request's host to a guess.
    std::string_view host;
    bool host_seen = false;
    for (const auto& field : parser.get()) {
      if (field.name() != http::field::host) continue;
      const std::string_view value = TrimOws(field.value());
      if (host_seen && !EqualsIgnoreCase(value, host)) {
        return Fail(kBadRequest);
      }
      host = value;
      host_seen = true;
    }
    head.clear();
    head.shrink_to_fit();
    stage = parser.is_done() ? Stage::kDone : Stage::kBody;
    chunked = parser.chunked();
  }

  // Takes header bytes; returns how many were part of the header section.
  std::size_t TakeHeader(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size() && stage == Stage::kHeader) {
      const char c = bytes[i++];
      head += c;
      if (head.size() > options.header_limit) {
        Fail(kHeaderTooLarge);
        break;
      }
      if (cr) {
        cr = false;
        // A line ends in CRLF and nothing else: a bare CR or LF gets 400
        // now rather than a wait for a line end that is not coming.
        if (c != '\n') {
          Fail(kBadRequest);
          break;
        }
        EndLine();
      } else if (c == '\r') {
        cr = true;
      } else if (c == '\n') {
        Fail(kBadRequest);
      }
    }
    return i;
  }

  void TakeBody(std::string_view bytes) {
    while (!bytes.empty() && stage == Stage::kBody) {
      std::size_t n = bytes.size();
      bool whole = true;
      if (chunked) {
        int framing = 0;
        n = chunks.Take(bytes, whole, framing);
        if (framing != 0) return Fail(framing);
      }
      // The parser gets framing lines whole, as it would at any cut.
      if (whole) {
        PutBody(bytes.substr(0, n));
      } else {
        pending.append(bytes.substr(0, n));
      }
      bytes.remove_prefix(n);
    }
    if (stage == Stage::kDone) surplus += bytes.size();
  }

  // Hands body bytes to the parser.
  void PutBody(std::string_view bytes) {
    std::string_view data = bytes;
    if (!pending.empty()) {
      pending.append(bytes);
      data = pending;
    }
    std::size_t used = 0;
    while (used < data.size() && !parser.is_done()) {
      beast::error_code ec;
      const std::size_t n = parser.put(
          boost::asio::buffer(data.data() + used, data.size() - used), ec);
      used += n;
      if (ec == http::error::need_more) break;
      if (ec) return Fail(StatusFor(ec));
      if (n == 0) break;
    }
    if (parser.is_done()) {
      stage = Stage::kDone;
      surplus += data.size() - used;
      pending.clear();
      return;
    }
    // The unread rest (a piece of a chunk line) waits for what follows.
    pending = std::string(data.substr(used));
  }

  const TransportOptions& options;
  Parser parser;
  ChunkScan chunks;
  Stage stage = Stage::kHeader;
  int status = 0;
  // The header section so far, and how much of it the parser has.
  std::string head;
  std::size_t fed = 0;
  std::size_t line_start = 0;
  bool cr = false;
  bool request_line_done = false;
  std::optional<RequestLineParts> request_line;
  bool last_field_te = false;
  std::vector<std::string> te_values;
  bool chunked = false;
  // Body bytes the parser has not taken yet.
  std::string pending;
  std::size_t surplus = 0;
};

RequestReader::RequestReader(const TransportOptions& options)
    : impl_(std::make_unique<Impl>(options)) {}

RequestReader::~RequestReader() = default;

RequestReader::Stage RequestReader::Feed(std::string_view bytes) {
  Impl& r = *impl_;
  if (r.stage == Stage::kHeader) {
    bytes.remove_prefix(r.TakeHeader(bytes));
  }
  if (r.stage == Stage::kBody && !bytes.empty()) {
    r.TakeBody(bytes);
  } else if (r.stage == Stage::kDone) {
    r.surplus += bytes.size();
  }
  return r.stage;
}

RequestReader::Stage RequestReader::stage() const { return impl_->stage; }

int RequestReader::error_status() const { return impl_->status; }

bool RequestReader::head_request() const {
  return impl_->parser.get().method() == http::verb::head;
}

bool RequestReader::expects_continue() const {
  const auto& header = impl_->parser.get();
  const auto expect = header.find(http::field::expect);
  return expect != header.end() &&
         EqualsIgnoreCase(expect->value(), "100-continue");
}

std::optional<std::uint64_t> RequestReader::content_length() const {
  if (!impl_->parser.is_header_done()) return std::nullopt;
  const auto length = impl_->parser.content_length();
  if (!length) return std::nullopt;
  return *length;
}

std::uint64_t RequestReader::body_bytes() const {
  return impl_->parser.get().body().size();
}

std::size_t RequestReader::surplus() const { return impl_->surplus; }

RawRequest RequestReader::TakeRequest() {
  auto message = impl_->parser.release();
  return ToRawRequest(message.base(), std::move(message.body()));
}

RawRequest RequestReader::HeaderOnly() const {
  return ToRawRequest(impl_->parser.get().base(), {});
}

std::optional<RawRequest> RequestReader::RequestLine() const {
  if (impl_->parser.is_header_done()) return HeaderOnly();
  const auto& line = impl_->request_line;
  if (!line) return std::nullopt;
  http::request_header<> header;
  header.method_string(line->method);
  header.target(line->target);
  header.version(line->version);
  return ToRawRequest(header, {});
}

ReadOutcome ReadHttpRequest(std::string_view bytes,
                            const TransportOptions& options) {
  RequestReader reader(options);
  ReadOutcome outcome;
  switch (reader.Feed(bytes)) {
    case RequestReader::Stage::kDone:
      outcome.kind = ReadOutcome::Kind::kRequest;
      outcome.request = reader.TakeRequest();
      break;
    case RequestReader::Stage::kError:
      outcome.kind = ReadOutcome::Kind::kError;
      outcome.status = reader.error_status();
      break;
    default:
      outcome.kind = ReadOutcome::Kind::kNeedMore;
  }
  return outcome;
}

}  // namespace norvessa::transport
