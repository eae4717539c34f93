#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "framework/api_core.h"
#include "framework/api_request.h"
#include "framework/api_response.h"
#include "framework/dispatch_bridge.h"
#include "json/json_text.h"
#include "middleware/api_logger_manager.h"
#include "middleware/client_ip.h"
#include "middleware/json_body.h"
#include "middleware/log_entry.h"

namespace norvessa {
namespace {

using Next = std::function<void()>;

// Collects every batch it is handed.
class Collector : public ApiLoggerProvider {
 public:
  void DoReceiveLogCache(const std::vector<JsonValue>& batch) override {
    std::lock_guard lock(mutex_);
    batches_.push_back(batch);
    for (const JsonValue& e : batch) entries_.push_back(e);
    changed_.notify_all();
  }
  std::vector<JsonValue> WaitFor(std::size_t n) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10),
                      [&] { return entries_.size() >= n; });
    return entries_;
  }
  std::vector<std::vector<JsonValue>> Batches() {
    std::lock_guard lock(mutex_);
    return batches_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<JsonValue>> batches_;
  std::vector<JsonValue> entries_;
};

std::string Value(const JsonValue& entry, std::string_view key) {
  const JsonValue* v = entry.Find(key);
  return v ? v->text() : "<missing>";
}

TEST(ClientIPTest, TheFirstRuleThatGivesTextWins) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> headers;
    const char* ip;
  };
  const Case cases[] = {
      {{}, "10.1.2.3"},
      {{{"x-forwarded-for", "203.0.113.7, 10.0.0.1"}}, "203.0.113.7"},
      {{{"X-Forwarded-For", ", 198.51.100.2"}}, "198.51.100.2"},
      {{{"X-FORWARDED-FOR", " , "}}, "10.1.2.3"},
      {{{"HTTP_X_FORWARDED_FOR", "1.1.1.1"}, {"x-forwarded-for", "2.2.2.2"}},
       "1.1.1.1"},
      {{{"HTTP_CLIENT_IP", " 9.9.9.9 "}, {"HTTP_X_FORWARDED_FOR", "1.1.1.1"}},
       "9.9.9.9"},
      {{{"HTTP_CLIENT_IP", "   "}, {"HTTP_X_FORWARDED", "3.3.3.3"}}, "3.3.3.3"},
      {{{"HTTP_X_CLUSTER_CLIENT_IP", "4.4.4.4"}, {"HTTP_FORWARDED", "5.5.5.5"}},
       "4.4.4.4"},
      {{{"HTTP_FORWARDED_FOR", "6.6.6.6"}, {"REMOTE_ADDR", "7.7.7.7"}},
       "6.6.6.6"},
      {{{"REMOTE_ADDR", "7.7.7.7"}}, "7.7.7.7"},
  };
  for (const Case& c : cases) {
    RawRequest raw;
    raw.remote_addr = "10.1.2.3";
    raw.headers = c.headers;
    EXPECT_EQ(ClientIP(ApiRequest(raw)), c.ip)
        << (c.headers.empty() ? "" : c.headers[0].second);
  }
  RawRequest nothing;
  nothing.headers = {{"REMOTE_HOST", "host.local"}};
  EXPECT_EQ(ClientIP(ApiRequest(nothing)), "host.local");
}

TEST(LogEntryTest, FortyPairsInOrderAsSetSoFar) {
  RawRequest raw;
  raw.method = "POST";
  raw.version = "HTTP/1.1";
  raw.raw_path = "/produtoslike/caf%C3%A9";
  raw.path_info = "/produtoslike/caf\xC3\xA9";
  raw.query = "a=%20";
  raw.body = "{}";
  raw.remote_addr = "127.0.0.1";
  raw.local_port = 9000;
  raw.headers = {{"Host", "api.local:8080"},
                 {"User-Agent", "curl/8\r\nX: forged"},
                 {"Authorization", "Basic abc"},
                 {"Content-Type", "application/json"}};
  RawResponse out;
  ApiRequest req(raw);
  ApiResponse res(out);
  res.Send(JsonValue::Array()).Status(404);
  LogTime before;
  before.local.tm_mday = 9;
  before.local.tm_mon = 2;
  before.local.tm_year = 126;
  before.local.tm_hour = 14;
  before.local.tm_min = 5;
  before.local.tm_sec = 9;
  before.millisecond = 123;
  const JsonValue entry = BuildLogEntry(req, res, before, 17);
  ASSERT_EQ(entry.members().size(), 40u);
  for (std::size_t i = 0; i < 40; ++i) {
    EXPECT_EQ(entry.members()[i].key, kLogEntryKeys[i]);
    EXPECT_TRUE(entry.members()[i].value.IsString());
  }
  const std::pair<const char*, const char*> values[] = {
      {"time", "09/mar\xC3\xA7o/2026 14:05:09.123"},
      {"execution_time", "17"},
      {"request_clientip", "127.0.0.1"},
      {"request_method", "POST"},
      {"request_query", "a=%20"},
      {"request_path_info", "/produtoslike/caf\xC3\xA9"},
      {"request_raw_path_info", "/produtoslike/caf%C3%A9"},
      {"request_host", "api.local"},
      {"request_server_port", "8080"},
      {"request_user_agent", "curl/8\r\nX: forged"},
      {"request_authorization", "Basic abc"},
      {"request_content_length", "2"},
      {"request_url", ""},
      {"response_status", "404"},
      {"response_content_type", ""},  // the JSON body middleware acts later
      {"response_content_length", "-1"},
  };
  for (const auto& [key, value] : values) {
    EXPECT_EQ(Value(entry, key), value) << key;
  }

  raw.headers = {{"Host", "[::1]:x"}};
  const JsonValue odd = BuildLogEntry(ApiRequest(raw), res, before, 0);
  EXPECT_EQ(Value(odd, "request_host"), "[::1]");
  EXPECT_EQ(Value(odd, "request_server_port"), "-1");
  raw.headers = {};
  const JsonValue bare = BuildLogEntry(ApiRequest(raw), res, before, 0);
  EXPECT_EQ(Value(bare, "request_server_port"), "9000");
}

TEST(LogEntryTest, MonthsAreWrittenInPortuguese) {
  const char* months[] = {"janeiro",  "fevereiro", "mar\xC3\xA7o", "abril",
                          "maio",     "junho",     "julho",        "agosto",
                          "setembro", "outubro",   "novembro",     "dezembro"};
  for (int m = 0; m < 12; ++m) {
    LogTime t;
    t.local.tm_mday = 1;
    t.local.tm_mon = m;
    t.local.tm_year = 126;
    EXPECT_EQ(FormatLogTime(t),
              "01/" + std::string(months[m]) + "/2026 00:00:00.000");
  }
}

class LoggerTest : public ::testing::Test {
 protected:
  LoggerTest() {
    collector_ = std::make_shared<Collector>();
    manager_.AddProvider(collector_);
    core_.Use(JsonBody()).Use(manager_.Callback());
    core_.Get("/usuarios", [](ApiRequest&, ApiResponse& res, const Next&) {
      res.Send(JsonValue::Array()).Status(202);
    });
  }
  RawResponse Get(const std::string& path) {
    RawRequest raw;
    raw.method = "GET";
    raw.raw_path = path;
    raw.path_info = path;
    RawResponse out;
    DispatchRequest(core_, raw, out);
    return out;
  }

  ApiLoggerManager manager_;
  std::shared_ptr<Collector> collector_;
  ApiCore core_;
};

TEST_F(LoggerTest, OneEntryPerExchange) {
  Get("/usuarios");
  Get("/nada");
  const auto entries = collector_->WaitFor(2);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(Value(entries[0], "response_status"), "202");
  EXPECT_EQ(Value(entries[0], "request_path_info"), "/usuarios");
  EXPECT_GE(std::stoi(Value(entries[0], "execution_time")), 0);
  EXPECT_EQ(Value(entries[1], "response_status"), "404");
  EXPECT_EQ(Value(entries[1], "response_content_length"), "9");  // "Not Found"
}

TEST_F(LoggerTest, EntriesQueuedTogetherTravelInOrder) {
  // Ten entries queued while the provider is busy reach it in one batch, in
  // the order they were queued.
  for (int i = 0; i < 10; ++i) Get("/usuarios?i=" + std::to_string(i));
  const auto entries = collector_->WaitFor(10);
  ASSERT_EQ(entries.size(), 10u);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(Value(entries[static_cast<std::size_t>(i)], "request_path_info"),
              "/usuarios?i=" + std::to_string(i));
  }
  std::size_t total = 0;
  for (const auto& b : collector_->Batches()) total += b.size();
  EXPECT_EQ(total, 10u);
}

TEST(LoggerManagerTest, AFailingProviderDoesNotStopTheOthers) {
  class Failing : public ApiLoggerProvider {
   public:
    void DoReceiveLogCache(const std::vector<JsonValue>&) override {
      throw std::runtime_error("disk on fire");
    }
  };
  ApiLoggerManager manager;
  auto collector = std::make_shared<Collector>();
  manager.AddProvider(std::make_shared<Failing>());
  manager.AddProvider(collector);
  manager.NewLog(JsonValue::Object());
  EXPECT_EQ(collector->WaitFor(1).size(), 1u);
  manager.NewLog(JsonValue::Object());
  EXPECT_EQ(collector->WaitFor(2).size(), 2u);
}

TEST(LoggerManagerTest, ShutdownHandsOverEverythingQueued) {
  auto collector = std::make_shared<Collector>();
  {
    ApiLoggerManager manager;
    manager.AddProvider(collector);
    for (int i = 0; i < 5000; ++i) manager.NewLog(JsonValue::Object());
    manager.Shutdown();
  }
  EXPECT_EQ(collector->WaitFor(5000).size(), 5000u);
}

TEST(LoggerManagerTest, TheDefaultManagerIsCreatedOnce) {
  std::vector<std::future<ApiLoggerManager*>> seen;
  for (int i = 0; i < 16; ++i) {
    seen.push_back(std::async(std::launch::async, [] {
      return &ApiLoggerManager::GetDefaultManager();
    }));
  }
  std::set<ApiLoggerManager*> distinct;
  for (auto& f : seen) distinct.insert(f.get());
  EXPECT_EQ(distinct.size(), 1u);
}

// A thread whose passes wait at a gate, to fill its queue.
class Gated : public ApiLoggerThread {
 public:
  explicit Gated(std::size_t capacity) : ApiLoggerThread(capacity) {}
  ~Gated() override {
    Open();
    Stop();
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }

 protected:
  void DispatchLogCache() override {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

TEST(LoggerThreadTest, APastTheBoundQueueDropsTheOldest) {
  Gated thread(3);
  for (int i = 0; i < 5; ++i) {
    thread.NewLog(JsonValue::Number(i));
  }
  EXPECT_EQ(thread.TakeDropped(), 2u);
  const auto kept = thread.ExtractLogCache();
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0].text(), "2");
  EXPECT_EQ(kept[2].text(), "4");
}

}  // namespace
}  // namespace norvessa
