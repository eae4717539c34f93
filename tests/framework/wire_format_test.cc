// The bytes of an answer and the request a handler gets, over a real socket.

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "framework/transport/http_transport.h"
#include "support/http_client.h"

namespace norvessa {
namespace {

// Status line and headers as the transport writes them, with the framing
// headers it always adds, then the body (absent from the wire when
// `body_sent` is false).
std::string Wire(std::string status_and_headers, const std::string& body,
                 bool body_sent = true, bool length = true) {
  std::string out = std::move(status_and_headers) + "Connection: close\r\n";
  if (length) out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  out += "\r\n";
  if (body_sent) out += body;
  return out;
}

// A transport whose handler runs `respond` for each request and keeps the
// request it got.
class WireServer {
 public:
  WireServer() {
    TransportOptions options;
    options.idle_timeout = std::chrono::milliseconds(3000);
    transport_ = MakeHttpTransport(
        options, [this](const RawRequest& req, RawResponse& res) {
          std::lock_guard lock(mutex_);
          last_ = req;
          if (respond_) respond_(res);
        });
    testing::BoundSocket bound;
    port_ = bound.port();
    transport_->StartOn(bound.Release());
  }
  ~WireServer() { transport_->Stop(); }

  std::string Exchange(const std::string& request,
                       std::function<void(RawResponse&)> respond) {
    {
      std::lock_guard lock(mutex_);
      respond_ = std::move(respond);
    }
    return testing::SendRaw(port_, request);
  }
  RawRequest last() {
    std::lock_guard lock(mutex_);
    return last_;
  }

 private:
  std::mutex mutex_;
  std::function<void(RawResponse&)> respond_;
  RawRequest last_;
  std::unique_ptr<HttpTransport> transport_;
  std::uint16_t port_ = 0;
};

TEST(WireFormatTest, AnswersAreWrittenByTheirRules) {
  const std::string html = "Content-Type: text/html; charset=utf-8\r\n";
  struct Case {
    const char* name;
    const char* method;
    std::function<void(RawResponse&)> respond;
    std::string wire;
  };
  const Case cases[] = {
      {"text body", "GET", [](RawResponse& r) { r.content = "hi"; },
       Wire("HTTP/1.1 200 OK\r\n" + html, "hi")},
      {"HEAD: headers of the body, no body", "HEAD",
       [](RawResponse& r) { r.content = "hi"; },
       Wire("HTTP/1.1 200 OK\r\n" + html, "hi", false)},
      {"HEAD without a body: no page", "HEAD", [](RawResponse&) {},
       Wire("HTTP/1.1 200 OK\r\n", "")},
      {"empty body: the page of the status", "GET",
       [](RawResponse& r) {
         r.status_code = 404;
         r.content = "";
       },
       Wire("HTTP/1.1 404 Not Found\r\n" + html,
            "<HTML><BODY><B>404 Not Found</B></BODY></HTML>")},
      {"no body at all: the page too", "GET", [](RawResponse&) {},
       Wire("HTTP/1.1 200 OK\r\n" + html,
            "<HTML><BODY><B>200 OK</B></BODY></HTML>")},
      {"204 carries no body nor length", "GET",
       [](RawResponse& r) {
         r.status_code = 204;
         r.content = "x";
       },
       Wire("HTTP/1.1 204 No Content\r\n" + html, "x", false, false)},
      {"1xx carries no body nor length", "GET",
       [](RawResponse& r) { r.status_code = 101; },
       Wire("HTTP/1.1 101 Switching Protocols\r\n", "", false, false)},
      {"304 keeps the length of its body, without it", "GET",
       [](RawResponse& r) {
         r.status_code = 304;
         r.content = "abc";
       },
       Wire("HTTP/1.1 304 Not Modified\r\n" + html, "abc", false)},
      {"304 without a body", "GET", [](RawResponse& r) { r.status_code = 304; },
       Wire("HTTP/1.1 304 Not Modified\r\n", "", false)},
      {"status below 100 is 500", "GET",
       [](RawResponse& r) { r.status_code = 99; },
       Wire("HTTP/1.1 500 Internal Server Error\r\n" + html,
            "<HTML><BODY><B>500 Internal Server Error</B></BODY></HTML>")},
      {"status above 999 is 500", "GET",
       [](RawResponse& r) {
         r.status_code = 1000;
         r.content = "x";
       },
       Wire("HTTP/1.1 500 Internal Server Error\r\n" + html, "x")},
      {"unknown status in range", "GET",
       [](RawResponse& r) { r.status_code = 999; },
       Wire("HTTP/1.1 999 Unknown\r\n" + html,
            "<HTML><BODY><B>999 Unknown</B></BODY></HTML>")},
      {"own content type", "GET",
       [](RawResponse& r) {
         r.content = "{}";
         r.content_type = "application/json";
       },
       Wire("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n", "{}")},
      {"text in the charset of the content type", "GET",
       [](RawResponse& r) {
         r.content = "a\xC3\xA7\xC3\xA3o";
         r.content_type = "text/plain; charset=ISO-8859-1";
       },
       Wire("HTTP/1.1 200 OK\r\nContent-Type: text/plain; "
            "charset=ISO-8859-1\r\n",
            "a\xE7\xE3o")},
      {"bytes go as they are, before any text", "GET",
       [](RawResponse& r) {
         r.content = "text";
         r.content_stream = std::string("\0\x01\xFF", 3);
       },
       Wire("HTTP/1.1 200 OK\r\n" + html, std::string("\0\x01\xFF", 3))},
      {"headers in their order, empty ones left out", "GET",
       [](RawResponse& r) {
         r.content = "x";
         r.content_type = "text/plain";
         r.content_encoding = "gzip";
         r.server = "S";
         r.allow = "GET, POST";
         r.location = "/l";
         r.realm = "never written";
         r.title = "never written";
         r.content_version = "1";
         r.custom_headers = {{"X-B", "2"}, {"X-Empty", ""}, {"X-A", "1"}};
       },
       Wire("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
            "Content-Encoding: gzip\r\nServer: S\r\nAllow: GET, POST\r\n"
            "Location: /l\r\nContent-Version: 1\r\nX-B: 2\r\nX-A: 1\r\n",
            "x")},
      {"line breaks in values become blanks", "GET",
       [](RawResponse& r) {
         r.content = "x";
         r.location = "/a\r\nSet-Cookie: s=1";
         r.custom_headers = {{"X-V", "a\nb\rc"}};
       },
       Wire("HTTP/1.1 200 OK\r\n" + html +
                "Location: /a  Set-Cookie: s=1\r\nX-V: a b c\r\n",
            "x")},
      {"a header whose name is no token is left out", "GET",
       [](RawResponse& r) {
         r.content = "x";
         r.custom_headers = {{"X-A\r\nSet-Cookie", "s=1"},
                             {"", "empty name"},
                             {"X-B: y\r\nX-C", "z"},
                             {"X D", "blank"},
                             {"X-Ok", "kept"}};
       },
       Wire("HTTP/1.1 200 OK\r\n" + html + "X-Ok: kept\r\n", "x")},
  };
  WireServer server;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(server.Exchange(
                  std::string(c.method) + " / HTTP/1.1\r\nHost: x\r\n\r\n",
                  c.respond),
              c.wire);
  }
}

TEST(WireFormatTest, RequestsReachTheHandlerByTheirRules) {
  struct Case {
    const char* name;
    std::string bytes;
    const char* method;
    const char* version;
    const char* raw_path;
    const char* query;
    const char* path_info;
  };
  const Case cases[] = {
      {"method upper-cased, target split at the first ?",
       "get /a%20b/c?x=1?y HTTP/1.1\r\nHost: x\r\n\r\n", "GET", "HTTP/1.1",
       "/a%20b/c", "x=1?y", "/a b/c"},
      {"no query", "GET /p HTTP/1.0\r\n\r\n", "GET", "HTTP/1.0", "/p", "",
       "/p"},
      {"empty query", "GET /p? HTTP/1.1\r\nHost: x\r\n\r\n", "GET", "HTTP/1.1",
       "/p", "", "/p"},
      {"POST overridden, trimmed and upper-cased",
       "POST /p HTTP/1.1\r\nHost: x\r\nX-HTTP-Method-Override:  delete "
       "\r\nContent-Length: 0\r\n\r\n",
       "DELETE", "HTTP/1.1", "/p", "", "/p"},
      {"the first override in its order of names wins",
       "POST /p HTTP/1.1\r\nHost: x\r\nX-METHOD-OVERRIDE: patch\r\n"
       "X-HTTP-Method: put\r\nContent-Length: 0\r\n\r\n",
       "PUT", "HTTP/1.1", "/p", "", "/p"},
      {"an empty override is passed over",
       "POST /p HTTP/1.1\r\nHost: x\r\nX-HTTP-Method-Override:\r\n"
       "X-METHOD-OVERRIDE: patch\r\nContent-Length: 0\r\n\r\n",
       "PATCH", "HTTP/1.1", "/p", "", "/p"},
      {"only POST is overridden",
       "PUT /p HTTP/1.1\r\nHost: x\r\nX-HTTP-Method: delete\r\n"
       "Content-Length: 0\r\n\r\n",
       "PUT", "HTTP/1.1", "/p", "", "/p"},
  };
  WireServer server;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.Exchange(c.bytes, [](RawResponse& r) { r.content = "ok"; });
    const RawRequest got = server.last();
    EXPECT_EQ(got.method, c.method);
    EXPECT_EQ(got.version, c.version);
    EXPECT_EQ(got.raw_path, c.raw_path);
    EXPECT_EQ(got.query, c.query);
    EXPECT_EQ(got.path_info, c.path_info);
  }

  server.Exchange(
      "POST /p HTTP/1.1\r\nHost: x\r\nB: 1\r\nb: 2\r\na:  3 \r\n"
      "Content-Length: 4\r\n\r\nbody",
      [](RawResponse& r) { r.content = "ok"; });
  const RawRequest got = server.last();
  const HeaderList headers = {{"Host", "x"},
                              {"B", "1"},
                              {"b", "2"},
                              {"a", "3"},
                              {"Content-Length", "4"}};
  EXPECT_EQ(got.headers, headers);
  EXPECT_EQ(got.body, "body");
  EXPECT_EQ(got.remote_addr, "127.0.0.1");
}

}  // namespace
}  // namespace norvessa
