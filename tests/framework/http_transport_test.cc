#include "framework/transport/http_transport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "support/http_client.h"

namespace norvessa {
namespace {

using testing::ClientConnection;
using testing::ParseReply;

TransportOptions ShortOptions() {
  TransportOptions options;
  options.idle_timeout = std::chrono::milliseconds(1500);
  options.stop_grace = std::chrono::milliseconds(3000);
  options.stats = std::make_shared<TransportStats>();
  return options;
}

// Waits up to 10 s for `done`.
bool Eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

int Occurrences(const std::string& text, const std::string& part) {
  int n = 0;
  for (auto at = text.find(part); at != std::string::npos;
       at = text.find(part, at + 1)) {
    ++n;
  }
  return n;
}

// Lowers the soft descriptor limit to the lowest free descriptor, so that
// the next one anybody opens fails with EMFILE; restores it when it goes.
class NoMoreDescriptors {
 public:
  NoMoreDescriptors() {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    const int lowest_free = ::dup(0);
    ::close(lowest_free);
    rlimit ceiling = saved_;
    ceiling.rlim_cur = static_cast<rlim_t>(lowest_free);
    ::setrlimit(RLIMIT_NOFILE, &ceiling);
  }
  ~NoMoreDescriptors() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  rlimit saved_{};
};

TEST(HttpTransportTest, AHandlerWhoseClientHasGoneIsNotStarted) {
  TransportOptions options = ShortOptions();
  // One worker: a second request waits for the first one's handler.
  options.worker_threads = 1;
  std::promise<void> first_inside;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> runs{0};
  auto transport =
      MakeHttpTransport(options, [&](const RawRequest& req, RawResponse& res) {
        if (runs++ == 0) {
          first_inside.set_value();
          released.wait();
        }
        res.content = req.raw_path;
      });
  testing::BoundSocket bound;
  const std::uint16_t port = bound.port();
  transport->StartOn(bound.Release());

  ClientConnection first(port);
  first.Send("GET /first HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_EQ(first_inside.get_future().wait_for(std::chrono::seconds(10)),
            std::future_status::ready);
  {
    // Gives up before its turn.
    ClientConnection gone(port);
    gone.Send("GET /gone HTTP/1.1\r\nHost: x\r\n\r\n");
  }
  release.set_value();
  EXPECT_EQ(ParseReply(first.ReadAll()).body, "/first");
  EXPECT_TRUE(Eventually([&] { return options.stats->abandoned.load() == 1; }));

  ClientConnection later(port);
  later.Send("GET /later HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(ParseReply(later.ReadAll()).body, "/later");
  EXPECT_EQ(runs.load(), 2);
  transport->Stop();
}

TEST(HttpTransportTest, RunningOutOfDescriptorsIsToldOnceAndOutlived) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers' own checks need descriptors (a pipe) "
                  "and report false errors when there are none";
#endif
  TransportOptions options = ShortOptions();
  auto transport = MakeHttpTransport(
      options,
      [](const RawRequest&, RawResponse& res) { res.content = "served"; });
  testing::BoundSocket bound;
  const std::uint16_t port = bound.port();
  transport->StartOn(bound.Release());

  // The client's socket exists before the descriptors run out.
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(client, 0);
  const timeval ten_seconds{10, 0};
  ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &ten_seconds,
               sizeof ten_seconds);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::testing::internal::CaptureStderr();
  {
    NoMoreDescriptors ceiling;
    ASSERT_EQ(
        ::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    // The acceptor fails again and again, a little apart.
    EXPECT_TRUE(
        Eventually([&] { return options.stats->accept_failures.load() >= 3; }));
  }
  // With descriptors back, the waiting connection is served.
  const std::string request = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_EQ(::send(client, request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  std::string answer;
  char buf[4096];
  ssize_t n;
  while ((n = ::recv(client, buf, sizeof buf, 0)) > 0) answer.append(buf, n);
  ::close(client);
  EXPECT_EQ(ParseReply(answer).body, "served");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(Occurrences(err, "Out of file descriptors accepting a connection"),
            1)
      << err;
  transport->Stop();
}

}  // namespace
}  // namespace norvessa
