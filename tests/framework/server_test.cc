#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "framework/api.h"
#include "framework/api_exception.h"
#include "framework/api_request.h"
#include "framework/api_response.h"
#include "framework/dispatch_bridge.h"
#include "support/http_client.h"
#include "support/test_server.h"

namespace norvessa {
namespace {

using testing::ClientConnection;
using testing::HttpReply;
using testing::ParseReply;
using testing::Request;
using testing::SendRaw;
using testing::TestServer;

using Next = std::function<void()>;

ApiCallback Text(std::string text) {
  return [text](ApiRequest&, ApiResponse& res, const Next&) { res.Send(text); };
}

int Occurrences(const std::string& text, const std::string& part) {
  int n = 0;
  for (auto at = text.find(part); at != std::string::npos;
       at = text.find(part, at + 1)) {
    ++n;
  }
  return n;
}

// What the refusal hook was told, one line per request.
class RefusalLog {
 public:
  Api::RefusedHook Hook() {
    return [this](const RawRequest& req, const RawResponse& res) {
      std::lock_guard lock(mutex_);
      lines_.push_back(req.method + " " + req.raw_path + " " + req.remote_addr +
                       " " + std::to_string(res.status_code) + " " +
                       res.content.value_or(""));
    };
  }
  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

const std::string kBusy(kMaxConnectionsMessage);

// Blocks every request in the handler until released.
class Gate {
 public:
  void Enter() {
    std::unique_lock lock(mutex_);
    ++inside_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
  }
  bool WaitInside(int n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20),
                             [&] { return inside_ >= n; });
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int inside_ = 0;
  bool open_ = false;
};

TEST(ServerTest, FrameworkAnswersOverTheWire) {
  TestServer server;
  server.api()
      .Get("/usuarios", Text("ok"))
      .Get("/empty", [](ApiRequest&, ApiResponse&, const Next&) {})
      .Get("/nocontent", [](ApiRequest&, ApiResponse& res,
                            const Next&) { res.Send("ignored").Status(204); })
      .Get("/boom", [](ApiRequest&, ApiResponse&, const Next&) {
        throw std::runtime_error("boom");
      });
  server.Start();

  struct Case {
    const char* method;
    const char* target;
    int status;
    const char* reason;
    const char* body;
  };
  const Case cases[] = {
      {"GET", "/usuarios", 200, "OK", "ok"},
      {"GET", "/usuarios?x=1", 200, "OK", "ok"},
      {"GET", "/nowhere", 404, "Not Found", "Not Found"},
      {"POST", "/usuarios", 405, "Method Not Allowed", "Method Not Allowed"},
      // The transport upper-cases the method token.
      {"get", "/usuarios", 200, "OK", "ok"},
      {"GET", "/empty", 200, "OK", "<HTML><BODY><B>200 OK</B></BODY></HTML>"},
      {"GET", "/nocontent", 204, "No Content", ""},
      // Without the exception middleware a handler's error reaches the
      // bridge, which replaces the router's text by the HTML page.
      {"GET", "/boom", 500, "Internal Server Error", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.target);
    const HttpReply r = Request(server.port(), c.method, c.target);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.reason, c.reason);
    EXPECT_EQ(r.Header("Connection"), "close");
    if (c.body != nullptr) {
      EXPECT_EQ(r.body, c.body);
      if (c.status != 204) {
        EXPECT_EQ(r.Header("Content-Type"), "text/html; charset=utf-8");
        EXPECT_EQ(r.Header("Content-Length"), std::to_string(r.body.size()));
      }
    }
  }
}

TEST(ServerTest, AnErrorEscapingTheChainGivesTheEscapedHtmlPage) {
  TestServer server;
  server.api().Use([](ApiRequest&, ApiResponse&, const Next&) {
    throw std::runtime_error("<script>alert(1)</script> & more");
  });
  server.Start();

  const HttpReply r = Request(server.port(), "GET", "/a%3Cb%3E/caf%C3%A9");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.Header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(r.body.find("<title>Error 500: Internal Server Error</title>"),
            std::string::npos);
  EXPECT_NE(r.body.find("5\xF0\x9F\x94\xA5\xF0\x9F\x99\x80"),
            std::string::npos);
  EXPECT_NE(r.body.find("&lt;script&gt;alert(1)&lt;/script&gt; &amp; more"),
            std::string::npos);
  EXPECT_NE(r.body.find("/a&lt;b&gt;/caf\xC3\xA9"), std::string::npos);
  EXPECT_EQ(r.body.find("<script>"), std::string::npos);
}

TEST(ServerTest, InterruptedCallbackSendsTheResponseAsLeft) {
  TestServer server;
  server.api().Get("/x", [](ApiRequest&, ApiResponse& res, const Next&) {
    res.Send("partial").Status(202);
    throw ApiCallbackInterrupted();
  });
  server.Start();
  const HttpReply r = Request(server.port(), "GET", "/x");
  EXPECT_EQ(r.status, 202);
  EXPECT_EQ(r.body, "partial");
}

TEST(ServerTest, PostMethodOverrideHeaders) {
  TestServer server;
  server.api()
      .Get("/m", Text("get"))
      .Post("/m", Text("post"))
      .Put("/m", Text("put"))
      .Delete("/m", Text("delete"));
  server.Start();

  struct Case {
    const char* method;
    std::vector<std::pair<std::string, std::string>> headers;
    const char* body;
  };
  const Case cases[] = {
      {"POST", {}, "post"},
      {"POST", {{"X-HTTP-Method-Override", "GET"}}, "get"},
      {"POST", {{"X-HTTP-Method-Override", "delete"}}, "delete"},
      {"POST", {{"X-HTTP-Method", "PUT"}}, "put"},
      {"POST", {{"X-METHOD-OVERRIDE", "GET"}}, "get"},
      {"POST", {{"x-http-method-override", "GET"}}, "get"},
      // The first header of the list that is present wins.
      {"POST",
       {{"X-METHOD-OVERRIDE", "DELETE"}, {"X-HTTP-Method-Override", "PUT"}},
       "put"},
      // Only POST can be overridden.
      {"PUT", {{"X-HTTP-Method-Override", "GET"}}, "put"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method +
                 (c.headers.empty() ? "" : " " + c.headers[0].first));
    EXPECT_EQ(Request(server.port(), c.method, "/m", c.headers).body, c.body);
  }
}

TEST(ServerTest, HeadAnswersCarryHeadersOnly) {
  TestServer server;
  server.api().Head("/h", Text("twelve bytes")).Get("/g", Text("g"));
  server.Start();

  const std::string ok =
      SendRaw(server.port(), "HEAD /h HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(ok.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_NE(ok.find("Content-Length: 12\r\n"), std::string::npos);
  EXPECT_EQ(ok.substr(ok.size() - 4), "\r\n\r\n");

  // HEAD is not served by the GET handler.
  const std::string no =
      SendRaw(server.port(), "HEAD /g HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(no.substr(0, 12), "HTTP/1.1 405");
  EXPECT_EQ(no.substr(no.size() - 4), "\r\n\r\n");
}

TEST(ServerTest, OneRequestPerConnection) {
  TestServer server;
  server.api().Get("/a", Text("a")).Get("/b", Text("b"));
  server.Start();

  // A client that asks for keep-alive and pipelines a second request still
  // gets one answer and a closed connection.
  const std::string raw =
      SendRaw(server.port(),
              "GET /a HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n"
              "GET /b HTTP/1.1\r\nHost: x\r\n\r\n");
  const HttpReply r = ParseReply(raw);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.Header("Connection"), "close");
  EXPECT_EQ(r.body, "a");
  EXPECT_EQ(raw.find("HTTP/1.1", 1), std::string::npos);
}

TEST(ServerTest, LargeAnswersArriveWhole) {
  TestServer server;
  std::string big(8 * 1024 * 1024, 'x');
  big.back() = 'y';
  server.api().Get("/big", [&](ApiRequest&, ApiResponse& res, const Next&) {
    res.Send(big).ContentType("text/plain");
  });
  server.Start();
  const HttpReply r = Request(server.port(), "GET", "/big");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.Header("Content-Length"), std::to_string(big.size()));
  EXPECT_TRUE(r.body == big);
}

TEST(ServerTest, RejectsOversizedMalformedAndSilentRequests) {
  TestServer server;
  server.api().Post("/p", Text("p"));
  server.Start();

  const std::string huge_header(70 * 1024, 'a');
  struct Case {
    const char* name;
    std::string request;
    int status;
  };
  const Case cases[] = {
      {"headers over 64 KiB",
       "GET /p HTTP/1.1\r\nHost: x\r\nX-Big: " + huge_header + "\r\n\r\n", 431},
      {"request line over 64 KiB",
       "GET /" + huge_header + " HTTP/1.1\r\nHost: x\r\n\r\n", 431},
      {"declared body over 16 MiB",
       "POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: 16777217\r\n\r\n"
       "abc",
       413},
      {"garbage", "HELLO\r\n\r\n", 400},
      {"bad version", "GET /p HTTP/9\r\n\r\n", 400},
      {"bad content length",
       "POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: x\r\n\r\n", 400},
      // Framing that once went unanswered until the idle limit, or was
      // taken for a request without a body.
      {"long request line ended by a bare CR",
       "GET /" + std::string(1000, 'a') + " HTTP/1.1\rHost: x\r\n", 400},
      {"chunked body framed with bare LF",
       "POST /p HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
       "5\nhello\n0\n\n",
       400},
      {"a coding other than chunked",
       "POST /p HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\nabc",
       400},
      {"a coding other than chunked, and a length",
       "POST /p HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n"
       "Content-Length: 3\r\n\r\nabc",
       400},
      {"chunked not last",
       "POST /p HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked, gzip\r\n"
       "\r\n0\r\n\r\n",
       400},
      {"an unknown coding",
       "POST /p HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: foo, chunked\r\n"
       "\r\n0\r\n\r\n",
       501},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const HttpReply r = ParseReply(SendRaw(server.port(), c.request));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.Header("Connection"), "close");
  }

  // A body of exactly 16 MiB is fine.
  const std::string body(16 * 1024 * 1024, 'x');
  EXPECT_EQ(Request(server.port(), "POST", "/p", {}, body).status, 200);

  // A body that keeps arriving, however slowly, is read to its end: the
  // idle limit (1.5 s here) counts silence, not the whole upload.
  {
    ClientConnection slow(server.port());
    slow.Send(
        "POST /p HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
        "Content-Length: 5\r\n\r\n");
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      slow.Send("x");
    }
    EXPECT_EQ(ParseReply(slow.ReadAll()).status, 200);
  }

  // A client that never finishes its request is disconnected.
  ClientConnection silent(server.port());
  silent.Send("GET /p HTTP/1.1\r\nHost: x\r\n");
  EXPECT_TRUE(silent.WaitClosed(10000));
}

TEST(ServerTest, AWholeRequestMustArriveWithinItsDeadline) {
  ServerLimits limits = TestServer::ShortLimits();
  limits.request_deadline = std::chrono::seconds(1);
  TestServer server(limits);
  server.api().Post("/p", Text("p"));
  server.Start();

  // A byte every 200 ms never lets the idle limit (1.5 s) end it.
  ClientConnection trickle(server.port());
  trickle.Send("POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n");
  bool closed = false;
  for (int i = 0; i < 50 && !closed; ++i) {
    trickle.Send("x");
    closed = trickle.WaitClosed(200);
  }
  EXPECT_TRUE(closed);
}

TEST(ServerTest, ConnectionsPastTheLimitAreClosedAtOnce) {
  ServerLimits limits = TestServer::ShortLimits();
  limits.idle_timeout = std::chrono::seconds(30);
  limits.max_connections = 2;
  TestServer server(limits);
  server.api().Get("/x", Text("x"));
  server.Start();

  auto first = std::make_unique<ClientConnection>(server.port());
  first->Send("GET /x HTTP/1.1\r\n");
  ClientConnection second(server.port());
  second.Send("GET /x HTTP/1.1\r\n");
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) {
    ClientConnection extra(server.port());
    extra.Send("GET /x HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(extra.ReadAll(), "");
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  // One line for the three, however many more come within a minute.
  EXPECT_EQ(Occurrences(err,
                        "API listener: connection limit of 2 reached: new "
                        "connections are closed at once\n"),
            1)
      << err;
  EXPECT_EQ(server.api().Counts().closed_at_cap, 3u);

  // One leaves, and there is room again.
  first.reset();
  int status = 0;
  for (int i = 0; i < 100 && status != 200; ++i) {
    status = Request(server.port(), "GET", "/x").status;
    if (status != 200)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(status, 200);
}

TEST(ServerTest, TheListenBacklogIsTheSystemsMaximum) {
  int system_max = SOMAXCONN;
  std::ifstream("/proc/sys/net/core/somaxconn") >> system_max;
  const std::uint16_t port = testing::FreePortForAProgram();
  Api api(TestServer::ShortLimits());
  api.Listen(port, "127.0.0.1");
  // ss shows a listening socket's backlog as its Send-Q.
  const std::string command =
      "ss -ltnH 'sport = :" + std::to_string(port) + "' 2>/dev/null";
  std::string out;
  if (FILE* ss = ::popen(command.c_str(), "r")) {
    char buf[512];
    while (std::fgets(buf, sizeof buf, ss) != nullptr) out += buf;
    ::pclose(ss);
  }
  api.StopListen();
  if (out.empty()) GTEST_SKIP() << "ss is not available";
  std::istringstream line(out);
  std::string state;
  int recv_q = -1;
  int send_q = -1;
  line >> state >> recv_q >> send_q;
  EXPECT_EQ(state, "LISTEN");
  EXPECT_EQ(send_q, system_max) << out;
}

TEST(ServerTest, BodiesPastTheBodyBudgetAreTurnedAwayAtOnce) {
  ServerLimits limits = TestServer::ShortLimits();
  limits.body_budget = 1024 * 1024;
  TestServer server(limits);
  Gate gate;
  server.api()
      .Post("/hold",
            [&](ApiRequest&, ApiResponse& res, const Next&) {
              gate.Enter();
              res.Send("held");
            })
      .Post("/p", Text("p"));
  RefusalLog refusals;
  server.api().OnRefused(refusals.Hook());
  server.Start();

  // 600 KiB of the 1 MiB stay held while its handler waits.
  const std::string big(600 * 1024, 'x');
  auto holder = std::async(std::launch::async, [&] {
    return Request(server.port(), "POST", "/hold", {}, big);
  });
  ASSERT_TRUE(gate.WaitInside(1));

  // A declared length takes nothing: the body counts as it arrives, and
  // 600 KiB of it would pass the budget.
  ClientConnection declared(server.port());
  declared.Send(
      "POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: 614400\r\n\r\n");
  declared.Send(std::string(600 * 1024, 'z'));
  const HttpReply by_length = ParseReply(declared.ReadAll());
  EXPECT_EQ(by_length.status, 500);
  EXPECT_EQ(by_length.body, kBusy);
  EXPECT_EQ(by_length.Header("Retry-After"), "1");

  // Chunks count as they arrive: 2 MiB of them, within the body limit.
  ClientConnection chunked(server.port());
  chunked.Send(
      "POST /p HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n");
  const std::string chunk = "19000\r\n" + std::string(0x19000, 'y') + "\r\n";
  for (int i = 0; i < 20; ++i) chunked.Send(chunk);
  chunked.Send("0\r\n\r\n");
  const HttpReply by_chunks = ParseReply(chunked.ReadAll());
  EXPECT_EQ(by_chunks.status, 500);
  EXPECT_EQ(by_chunks.body, kBusy);

  EXPECT_EQ(refusals.Lines(),
            (std::vector<std::string>{"POST /p 127.0.0.1 500 " + kBusy,
                                      "POST /p 127.0.0.1 500 " + kBusy}));
  EXPECT_EQ(server.api().Counts().refused_body_budget, 2u);

  // The held body's room comes back with its exchange.
  gate.Open();
  EXPECT_EQ(holder.get().body, "held");
  EXPECT_EQ(Request(server.port(), "POST", "/p", {}, big).body, "p");
  EXPECT_EQ(Request(server.port(), "POST", "/p", {}, big).body, "p");
}

TEST(ServerTest, TheThirtyThirdConcurrentRequestIsTurnedAway) {
  TestServer server;
  Gate gate;
  server.api().Get("/slow", [&](ApiRequest&, ApiResponse& res, const Next&) {
    gate.Enter();
    res.Send("done");
  });
  RefusalLog refusals;
  server.api().OnRefused(refusals.Hook());
  server.Start();

  std::vector<std::future<HttpReply>> first;
  for (int i = 0; i < Api::kMaxInChain; ++i) {
    first.push_back(std::async(std::launch::async, [&] {
      return Request(server.port(), "GET", "/slow");
    }));
  }
  ASSERT_TRUE(gate.WaitInside(Api::kMaxInChain));

  const HttpReply turned_away = Request(server.port(), "GET", "/slow");
  EXPECT_EQ(turned_away.status, 500);
  EXPECT_EQ(turned_away.body, kMaxConnectionsMessage);
  EXPECT_EQ(turned_away.body,
            "Maximum number of concurrent connections exceeded.  Please try "
            "again later");
  EXPECT_EQ(turned_away.Header("Retry-After"), "1");
  // The chain never saw it, yet the request log is told.
  EXPECT_EQ(refusals.Lines(),
            std::vector<std::string>{"GET /slow 127.0.0.1 500 " + kBusy});
  EXPECT_EQ(server.api().Counts().refused_in_chain, 1u);

  gate.Open();
  for (auto& f : first) EXPECT_EQ(f.get().body, "done");
  // The slots are free again.
  EXPECT_EQ(Request(server.port(), "GET", "/slow").body, "done");
}

TEST(ServerTest, StopWaitsForRequestsInFlightAndListenStartsAgain) {
  TestServer server;
  Gate gate;
  server.api().Get("/slow", [&](ApiRequest&, ApiResponse& res, const Next&) {
    gate.Enter();
    res.Send("finished");
  });
  server.Start();
  const std::uint16_t old_port = server.port();

  auto in_flight = std::async(
      std::launch::async, [&] { return Request(old_port, "GET", "/slow"); });
  ASSERT_TRUE(gate.WaitInside(1));
  auto stopped =
      std::async(std::launch::async, [&] { server.api().StopListen(); });
  EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(200)),
            std::future_status::timeout);
  gate.Open();
  stopped.get();
  EXPECT_EQ(in_flight.get().body, "finished");
  EXPECT_FALSE(server.api().IsRunning());
  EXPECT_THROW(ClientConnection{old_port}, std::runtime_error);

  server.Start();  // the same server on a new socket
  EXPECT_TRUE(server.api().IsRunning());
  EXPECT_EQ(Request(server.port(), "GET", "/slow").body, "finished");
}

TEST(ServerTest, StopClosesWhatOutlivesTheGracePeriod) {
  ServerLimits limits = TestServer::ShortLimits();
  limits.stop_grace = std::chrono::milliseconds(200);
  TestServer server(limits);
  Gate gate;
  server.api().Get(
      "/stuck", [&](ApiRequest&, ApiResponse&, const Next&) { gate.Enter(); });
  server.Start();

  ClientConnection stuck(server.port());
  stuck.Send("GET /stuck HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_TRUE(gate.WaitInside(1));
  server.api().StopListen();
  EXPECT_TRUE(stuck.WaitClosed(5000));
  gate.Open();
}

TEST(ServerTest, ListenBindsTheNamedHostAndReportsAPortInUse) {
  const std::uint16_t port = testing::FreePortForAProgram();
  Api api(TestServer::ShortLimits());
  api.Get("/x", Text("x"));
  EXPECT_THROW(api.StopListen(), std::runtime_error);
  api.Listen(port, " 127.0.0.1 ");
  EXPECT_TRUE(api.IsRunning());
  EXPECT_EQ(api.host(), "127.0.0.1");
  EXPECT_EQ(Request(port, "GET", "/x").body, "x");

  Api second(TestServer::ShortLimits());
  try {
    second.Listen(port, "127.0.0.1");
    ADD_FAILURE() << "listening twice on one port succeeded";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("127.0.0.1:" + std::to_string(port)),
              std::string::npos);
  }
  EXPECT_FALSE(second.IsRunning());
  api.StopListen();
  EXPECT_FALSE(api.IsRunning());
}

TEST(ServerTest, ListenNormalisesPortAndHost) {
  Api api(TestServer::ShortLimits());
  // An unresolvable host fails after the port and host were settled.
  EXPECT_THROW(api.Listen(0, "no-such-host.invalid"), std::runtime_error);
  EXPECT_EQ(api.port(), 9000);
  EXPECT_FALSE(api.IsRunning());
  EXPECT_THROW(api.Listen(-5, "no-such-host.invalid"), std::runtime_error);
  EXPECT_EQ(api.port(), 9000);
  EXPECT_THROW(api.Listen(70000, ""), std::runtime_error);
  EXPECT_EQ(api.host(), "0.0.0.0");
  EXPECT_FALSE(api.IsRunning());
}

TEST(ServerTest, TheWildcardHostListensOnIpv4AndIpv6) {
  const std::uint16_t port = testing::FreePortForAProgram();
  Api api(TestServer::ShortLimits());
  api.Get("/x", Text("x"));
  api.Listen(port, "0.0.0.0");
  EXPECT_EQ(Request(port, "GET", "/x").body, "x");
  if (testing::HasIpv6Loopback()) {
    EXPECT_EQ(
        testing::ParseReply(
            testing::SendRawIpv6(port, "GET /x HTTP/1.1\r\nHost: x\r\n\r\n"))
            .body,
        "x");
  }
  api.StopListen();
}

TEST(ServerTest, AuthorizationNeverCausesARejection) {
  TestServer server;
  server.api().Get("/x", [](ApiRequest& req, ApiResponse& res, const Next&) {
    res.Send(std::string(req.Headers("Authorization")));
  });
  server.Start();
  for (const char* value :
       {"Basic !!!not-base64", "Bearer", "Digest x=\"", "Weird scheme"}) {
    const HttpReply r =
        Request(server.port(), "GET", "/x", {{"Authorization", value}});
    EXPECT_EQ(r.status, 200) << value;
    EXPECT_EQ(r.body, value);
  }
}

TEST(ServerTest, ExpectContinueGetsTheInterimAnswer) {
  TestServer server;
  server.api().Post("/p", [](ApiRequest& req, ApiResponse& res, const Next&) {
    res.Send(req.Body());
  });
  server.Start();
  ClientConnection c(server.port());
  c.Send(
      "POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n"
      "Expect: 100-continue\r\n\r\n");
  EXPECT_EQ(c.ReadSome(), "HTTP/1.1 100 Continue\r\n\r\n");
  c.Send("hello");
  const HttpReply r = ParseReply(c.ReadAll());
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "hello");
}

TEST(ServerTest, BodyTextFollowsTheCharsetOfTheContentType) {
  TestServer server;
  server.api().Post("/echo", [](ApiRequest& req, ApiResponse& res,
                                const Next&) {
    res.Send(req.Body()).ContentType(std::string(req.Headers("X-Answer-Type")));
  });
  server.Start();
  // café in Windows-1252 comes in and goes out again in Windows-1252.
  const HttpReply r =
      Request(server.port(), "POST", "/echo",
              {{"Content-Type", "text/plain; charset=ISO-8859-1"},
               {"X-Answer-Type", "text/plain; charset=ISO-8859-1"}},
              "caf\xE9");
  EXPECT_EQ(r.body, "caf\xE9");
  const HttpReply utf8 =
      Request(server.port(), "POST", "/echo",
              {{"Content-Type", "text/plain; charset=ISO-8859-1"},
               {"X-Answer-Type", "text/plain"}},
              "caf\xE9");
  EXPECT_EQ(utf8.body, "caf\xC3\xA9");
}

}  // namespace
}  // namespace norvessa

namespace norvessa {
namespace {

using testing::ClientConnection;
using testing::HttpReply;
using testing::ParseReply;
using testing::Request;
using testing::SendRaw;
using testing::TestServer;

const std::string kBusyText(kMaxConnectionsMessage);

// A request with a body over one connection from `source`.
HttpReply PostFrom(std::uint16_t port, const char* source,
                   const std::string& path, const std::string& body) {
  ClientConnection c(port, source);
  c.Send("POST " + path + " HTTP/1.1\r\nHost: x\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body);
  return ParseReply(c.ReadAll());
}

// Sixteen connections each declare a 16 MiB body and send none of it.
// Nothing is charged for a promise: logins from an allowed client all go
// through, and a peer outside the allow-list is refused on its head alone.
TEST(ServerTest, DeclaredBodiesThatNeverArriveLockNobodyOut) {
  struct Case {
    const char* name;
    const char* allowed;  // "" for no allow-list
  };
  const Case cases[] = {{"outside the allow-list", "127.0.0.1"},
                        {"no allow-list", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServerLimits limits = TestServer::ShortLimits();
    limits.idle_timeout = std::chrono::seconds(60);
    limits.body_budget = 16ull * 16 * 1024 * 1024;  // room for 16 promises
    if (*c.allowed != '\0') {
      auto rules = std::make_shared<AccessRules>();
      rules->allowed = AddressList::Parse(c.allowed);
      limits.access = rules;
    }
    TestServer server(limits);
    server.api().Post("/autenticacao", Text("ok"));
    RefusalLog refusals;
    server.api().OnRefused(refusals.Hook());
    server.Start();

    const std::string head =
        "POST /autenticacao HTTP/1.1\r\nHost: x\r\nContent-Length: 16777216\r\n"
        "Expect: 100-continue\r\n\r\n";
    std::vector<std::unique_ptr<ClientConnection>> attackers;
    for (int i = 0; i < 16; ++i) {
      attackers.push_back(
          std::make_unique<ClientConnection>(server.port(), "127.0.0.9"));
      attackers.back()->Send(head);
      // The head has been judged once the server says anything.
      const std::string first = attackers.back()->ReadSome();
      if (*c.allowed != '\0') {
        const HttpReply refused = ParseReply(first);
        EXPECT_EQ(refused.status, 403);
        EXPECT_EQ(refused.body, R"({"error":"Forbidden"})");
      } else {
        EXPECT_EQ(first, "HTTP/1.1 100 Continue\r\n\r\n");
      }
    }
    int answered = 0;
    for (int i = 0; i < 50; ++i) {
      const HttpReply login =
          PostFrom(server.port(), "127.0.0.1", "/autenticacao", "{}");
      answered += login.status == 200 ? 1 : 0;
    }
    EXPECT_EQ(answered, 50);
    if (*c.allowed != '\0') {
      EXPECT_EQ(server.api().Counts().forbidden, 16u);
      EXPECT_EQ(refusals.Lines().size(), 16u);
      EXPECT_EQ(refusals.Lines().front(), "POST /autenticacao 127.0.0.9 403 " +
                                              std::string(kForbiddenBody));
    } else {
      EXPECT_EQ(server.api().Counts().refused_body_budget, 0u);
    }
  }
}

// A peer whose every request would be refused gets a short head deadline;
// an allowed peer keeps the whole request deadline.
TEST(ServerTest, APeerOutsideTheAllowListHasAShortHeadDeadline) {
  ServerLimits limits = TestServer::ShortLimits();
  limits.idle_timeout = std::chrono::seconds(60);
  limits.request_deadline = std::chrono::seconds(60);
  limits.refused_peer_deadline = std::chrono::milliseconds(300);
  auto rules = std::make_shared<AccessRules>();
  rules->allowed = AddressList::Parse("127.0.0.1");
  limits.access = rules;
  TestServer server(limits);
  server.api().Get("/x", Text("x"));
  server.Start();

  ClientConnection allowed(server.port());
  allowed.Send("GET /x HTTP/1.1\r\n");
  ClientConnection excluded(server.port(), "127.0.0.9");
  excluded.Send("GET /x HTTP/1.1\r\n");
  EXPECT_TRUE(excluded.WaitClosed(30000));
  EXPECT_FALSE(allowed.WaitClosed(0));
  // The count follows the close a moment later.
  for (int i = 0; i < 10000 && server.api().Counts().closed_deadline == 0;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(server.api().Counts().closed_deadline, 1u);
  allowed.Send("Host: x\r\n\r\n");
  EXPECT_EQ(ParseReply(allowed.ReadAll()).body, "x");
}

TEST(ServerTest, OneAddressCannotHoldEveryConnection) {
  for (const bool proxy : {false, true}) {
    SCOPED_TRACE(proxy ? "a listed proxy is exempt" : "a plain client");
    ServerLimits limits = TestServer::ShortLimits();
    limits.idle_timeout = std::chrono::seconds(60);
    limits.max_connections_per_address = 3;
    if (proxy) {
      auto rules = std::make_shared<AccessRules>();
      rules->proxies = AddressList::Parse("127.0.0.9");
      limits.access = rules;
    }
    TestServer server(limits);
    server.api().Get("/x", Text("x"));
    server.Start();

    ::testing::internal::CaptureStderr();
    std::vector<std::unique_ptr<ClientConnection>> held;
    for (int i = 0; i < 3; ++i) {
      held.push_back(
          std::make_unique<ClientConnection>(server.port(), "127.0.0.9"));
      held.back()->Send("GET /x HTTP/1.1\r\n");
    }
    ClientConnection fourth(server.port(), "127.0.0.9");
    fourth.Send("GET /x HTTP/1.1\r\nHost: x\r\n\r\n");
    const std::string answer = fourth.ReadAll();
    const std::string err = ::testing::internal::GetCapturedStderr();
    if (proxy) {
      EXPECT_EQ(ParseReply(answer).body, "x");
      EXPECT_EQ(server.api().Counts().closed_per_address, 0u);
    } else {
      EXPECT_EQ(answer, "");
      EXPECT_EQ(server.api().Counts().closed_per_address, 1u);
      EXPECT_NE(err.find("API listener: 127.0.0.9 holds 3 connections"),
                std::string::npos)
          << err;
    }
    // Another address is not affected.
    EXPECT_EQ(Request(server.port(), "GET", "/x").body, "x");
    // One leaves, and that address has room again.
    held.pop_back();
    int status = 0;
    for (int i = 0; i < 200 && status != 200; ++i) {
      ClientConnection again(server.port(), "127.0.0.9");
      again.Send("GET /x HTTP/1.1\r\nHost: x\r\n\r\n");
      status = ParseReply(again.ReadAll()).status;
    }
    EXPECT_EQ(status, 200);
  }
}

// What the request reader answers itself has a log line when its request
// line could be read, and is counted by status either way.
TEST(ServerTest, ReaderAnswersAreLoggedAndCounted) {
  TestServer server;
  server.api().Post("/p", Text("p"));
  RefusalLog refusals;
  server.api().OnRefused(refusals.Hook());
  server.Start();

  struct Case {
    const char* name;
    std::string request;
    int status;
    const char* line;  // what the log hears; "" for nothing
  };
  const Case cases[] = {
      {"a malformed header", "GET /p HTTP/1.1\r\nBad Header\r\n\r\n", 400,
       "GET /p 127.0.0.1 400 "},
      {"two hosts that differ", "GET /p HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n",
       400, "GET /p 127.0.0.1 400 "},
      {"header too large",
       "GET /p HTTP/1.1\r\nX: " + std::string(70 * 1024, 'a') + "\r\n\r\n", 431,
       "GET /p 127.0.0.1 431 "},
      {"body too large",
       "POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: 16777217\r\n\r\n", 413,
       "POST /p 127.0.0.1 413 "},
      {"an unknown coding",
       "POST /p HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: foo\r\n\r\n", 501,
       "POST /p 127.0.0.1 501 "},
      {"not HTTP at all", "\x01\x02\x03\r\n\r\n", 400, ""},
  };
  std::size_t lines = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ParseReply(SendRaw(server.port(), c.request)).status, c.status);
    const auto told = refusals.Lines();
    if (*c.line == '\0') {
      EXPECT_EQ(told.size(), lines);
    } else {
      ASSERT_EQ(told.size(), lines + 1);
      EXPECT_EQ(told.back(), c.line);
      ++lines;
    }
  }
  // The same Host twice is one host.
  EXPECT_EQ(ParseReply(SendRaw(server.port(),
                               "POST /p HTTP/1.1\r\nHost: a\r\nHost: A\r\n"
                               "Content-Length: 0\r\n\r\n"))
                .body,
            "p");
  const ServerCounts counts = server.api().Counts();
  EXPECT_EQ(counts.malformed, 3u);
  EXPECT_EQ(counts.header_too_large, 1u);
  EXPECT_EQ(counts.body_too_large, 1u);
  EXPECT_EQ(counts.not_implemented, 1u);
}

// With EsperaVagaMs, a request that finds every slot taken waits for one:
// slots go to waiters in arrival order, a waiter whose client left is
// dropped, and a stop answers the waiters at once.
TEST(ServerTest, RequestsWaitForASlotInArrivalOrder) {
  ServerLimits limits = TestServer::ShortLimits();
  limits.idle_timeout = std::chrono::seconds(60);
  limits.slot_wait = std::chrono::seconds(60);
  TestServer server(limits);
  server.api().SetChainSlots(1);
  Gate gate;
  std::mutex order_mutex;
  std::vector<std::string> order;
  server.api().Post("/w", [&](ApiRequest& req, ApiResponse& res, const Next&) {
    {
      std::lock_guard lock(order_mutex);
      order.push_back(req.Body());
    }
    if (req.Body() == "first") gate.Enter();
    res.Send(req.Body());
  });
  server.Start();
  auto post = [&](const std::string& body) {
    return std::async(std::launch::async, [&, body] {
      return PostFrom(server.port(), "127.0.0.1", "/w", body);
    });
  };
  auto wait_for_waiters = [&](std::uint64_t n) {
    for (int i = 0; i < 20000 && server.api().Counts().waited < n; ++i) {
      std::this_thread::yield();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return server.api().Counts().waited >= n;
  };

  auto first = post("first");
  ASSERT_TRUE(gate.WaitInside(1));
  // A waiter that leaves gives its place up.
  {
    ClientConnection gone(server.port());
    gone.Send("POST /w HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\ngone");
    ASSERT_TRUE(wait_for_waiters(1));
  }
  auto a = post("a");
  ASSERT_TRUE(wait_for_waiters(2));
  auto b = post("b");
  ASSERT_TRUE(wait_for_waiters(3));
  gate.Open();
  EXPECT_EQ(first.get().body, "first");
  EXPECT_EQ(a.get().body, "a");
  EXPECT_EQ(b.get().body, "b");
  EXPECT_EQ(order, (std::vector<std::string>{"first", "a", "b"}));
  EXPECT_EQ(server.api().Counts().abandoned, 1u);
  EXPECT_EQ(server.api().Counts().refused_in_chain, 0u);
}

// One chain slot, held by a request until the gate opens, and requests
// that may wait `wait` for it.
struct OneHeldSlot {
  explicit OneHeldSlot(std::chrono::milliseconds wait) : server(Limits(wait)) {
    server.api().SetChainSlots(1);
    server.api().Post("/w",
                      [this](ApiRequest& req, ApiResponse& res, const Next&) {
                        if (req.Body() == "hold") gate.Enter();
                        res.Send(req.Body());
                      });
    server.api().OnRefused(refusals.Hook());
    server.Start();
    held = std::async(std::launch::async, [this] {
      return PostFrom(server.port(), "127.0.0.1", "/w", "hold");
    });
  }
  // The held request ends before its future is waited for.
  ~OneHeldSlot() { gate.Open(); }

  static ServerLimits Limits(std::chrono::milliseconds wait) {
    ServerLimits limits = TestServer::ShortLimits();
    limits.idle_timeout = std::chrono::seconds(60);
    limits.slot_wait = wait;
    return limits;
  }

  TestServer server;
  Gate gate;
  RefusalLog refusals;
  std::future<HttpReply> held;
};

TEST(ServerTest, AWaitForASlotEndsBusyAtItsLimit) {
  OneHeldSlot slot(std::chrono::milliseconds(300));
  ASSERT_TRUE(slot.gate.WaitInside(1));
  const HttpReply late =
      PostFrom(slot.server.port(), "127.0.0.1", "/w", "late");
  EXPECT_EQ(late.status, 500);
  EXPECT_EQ(late.body, kBusyText);
  EXPECT_EQ(late.Header("Retry-After"), "1");
  EXPECT_EQ(slot.server.api().Counts().waited, 1u);
  slot.gate.Open();
  EXPECT_EQ(slot.held.get().body, "hold");
}

TEST(ServerTest, PastSixtyFourWaitersTheHeadIsAnsweredBusy) {
  OneHeldSlot slot(std::chrono::seconds(60));
  TestServer& server = slot.server;
  ASSERT_TRUE(slot.gate.WaitInside(1));

  std::vector<std::unique_ptr<ClientConnection>> waiters;
  for (int i = 0; i < 64; ++i) {
    waiters.push_back(std::make_unique<ClientConnection>(server.port()));
    waiters.back()->Send(
        "POST /w HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\n\r\nw");
  }
  for (int i = 0; i < 20000 && server.api().Counts().waited < 64; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(server.api().Counts().waited, 64u);

  // Every slot and every place taken: the head is answered, no body read.
  ClientConnection extra(server.port());
  extra.Send("POST /w HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n");
  const HttpReply busy = ParseReply(extra.ReadAll());
  EXPECT_EQ(busy.status, 500);
  EXPECT_EQ(busy.body, kBusyText);
  EXPECT_EQ(busy.Header("Retry-After"), "1");

  // A stop answers every waiter busy at once, while the held one goes on.
  auto stopped =
      std::async(std::launch::async, [&] { server.api().StopListen(); });
  for (auto& w : waiters) {
    const HttpReply r = ParseReply(w->ReadAll());
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.body, kBusyText);
  }
  slot.gate.Open();
  stopped.get();
  EXPECT_EQ(slot.held.get().body, "hold");
  EXPECT_EQ(server.api().Counts().refused_in_chain, 65u);
  EXPECT_EQ(slot.refusals.Lines().size(), 65u);
}

// A client still sending its body when it is refused goes on until it has
// sent it, and then reads the answer rather than a reset.
TEST(ServerTest, ARefusedUploaderReadsItsAnswer) {
  ServerLimits limits = TestServer::ShortLimits();
  limits.idle_timeout = std::chrono::seconds(60);
  limits.body_budget = 64 * 1024;
  TestServer server(limits);
  server.api().Post("/p", Text("p"));
  server.Start();

  ClientConnection uploader(server.port());
  const std::size_t total = 20 * 16 * 1024;
  uploader.Send("POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                std::to_string(total) + "\r\n\r\n");
  // A slow uploader: a piece every 100 ms, two seconds in all.
  for (int i = 0; i < 20; ++i) {
    uploader.Send(std::string(16 * 1024, 'u'));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const HttpReply r = ParseReply(uploader.ReadAll());
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.body, kBusyText);
}

}  // namespace
}  // namespace norvessa

namespace norvessa {
namespace {

// A handler that never returns cannot hold a stop for ever: the transport
// is let go of only once its handlers are done, and the caller learns
// when they were not.
TEST(ServerTest, ReleasingTheTransportWaitsForHandlersUpToADeadline) {
  ServerLimits limits = testing::TestServer::ShortLimits();
  limits.stop_grace = std::chrono::milliseconds(100);
  testing::TestServer server(limits);
  Gate gate;
  server.api().Get("/stuck", [&](ApiRequest&, ApiResponse& res,
                                 const std::function<void()>&) {
    gate.Enter();
    res.Send("late");
  });
  server.Start();
  testing::ClientConnection stuck(server.port());
  stuck.Send("GET /stuck HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_TRUE(gate.WaitInside(1));
  const auto soon =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  EXPECT_FALSE(server.api().ReleaseTransport(soon));
  EXPECT_FALSE(server.api().IsRunning());
  gate.Open();
  EXPECT_TRUE(server.api().ReleaseTransport(std::chrono::steady_clock::now() +
                                            std::chrono::seconds(60)));
}

}  // namespace
}  // namespace norvessa
