#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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
#include "middleware/log_file_provider.h"

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
  // Behind a listed proxy the client the allow-list judged is the client,
  // whatever the headers claim.
  RawRequest proxied;
  proxied.remote_addr = "10.0.0.5";
  proxied.forwarded_client = "198.51.100.9";
  proxied.headers = {{"HTTP_CLIENT_IP", "9.9.9.9"},
                     {"X-Forwarded-For", "203.0.113.77, 198.51.100.9"}};
  EXPECT_EQ(ClientIP(ApiRequest(proxied)), "198.51.100.9");
}

TEST(LogEntryTest, FortyPairsInOrderOrOnlyThoseRead) {
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

  // Only the keys the providers read are built, in the same order and
  // with the same values: the default line names five.
  const LogKeySet line_keys =
      LogKeysNamed(GetFormatParams(kDefaultApiLogFormat));
  const JsonValue lean = BuildLogEntry(req, res, before, 17, line_keys);
  ASSERT_EQ(lean.members().size(), 5u);
  const char* lean_keys[] = {"time", "request_clientip", "request_method",
                             "request_path_info", "response_status"};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(lean.members()[i].key, lean_keys[i]);
    EXPECT_EQ(Value(lean, lean_keys[i]), Value(entry, lean_keys[i]));
  }
  ApiLoggerManager manager;
  EXPECT_TRUE(manager.KeysWanted().none());
  LogFileConfig config;
  config.dir = ::testing::TempDir();
  manager.AddProvider(std::make_shared<LogFileProvider>(config));
  EXPECT_EQ(manager.KeysWanted(), line_keys);
  config.log_format = "${time} ${request_user_agent} ${unknown}";
  manager.AddProvider(std::make_shared<LogFileProvider>(config));
  EXPECT_EQ(manager.KeysWanted().count(), 6u);
  manager.Shutdown();

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

TEST(LogEntryTest, LongValuesAreCutAtACharacterBoundary) {
  auto a = [](std::size_t n) { return std::string(n, 'a'); };
  struct Case {
    const char* name;
    std::string value;
    std::string logged;
  };
  const Case cases[] = {
      {"empty", "", ""},
      {"at the limit", a(1024), a(1024)},
      {"one byte over", a(1025), a(1024) + "...(+1 bytes)"},
      {"60 KB", a(60'000), a(1024) + "...(+58976 bytes)"},
      {"two-byte character across the limit", a(1023) + "\xC3\xA9",
       a(1023) + "...(+2 bytes)"},
      {"two-byte character ending at the limit", a(1022) + "\xC3\xA9z",
       a(1022) + "\xC3\xA9...(+1 bytes)"},
      {"three-byte character across the limit", a(1022) + "\xE2\x82\xACz",
       a(1022) + "...(+4 bytes)"},
      {"four-byte character, one byte over", a(1021) + "\xF0\x9F\x98\x80",
       a(1021) + "...(+4 bytes)"},
      {"four-byte character from the last byte", a(1023) + "\xF0\x9F\x98\x80",
       a(1023) + "...(+4 bytes)"},
      {"four-byte character just after the limit", a(1024) + "\xF0\x9F\x98\x80",
       a(1024) + "...(+4 bytes)"},
      {"C1 control across the limit", a(1023) + "\xC2\x85z",
       a(1023) + "...(+3 bytes)"},
      {"U+FFFD across the limit", a(1023) + "\xEF\xBF\xBD",
       a(1023) + "...(+3 bytes)"},
      {"malformed pair across the limit", a(1023) + "\xC3\x28z",
       a(1023) + "\xC3...(+2 bytes)"},
      {"stray continuation bytes", a(1022) + "\x80\x80\x80",
       a(1022) + "\x80\x80...(+1 bytes)"},
      {"a character cut short by the value's end", a(1023) + "\xE2\x82",
       a(1023) + "\xE2...(+1 bytes)"},
      {"surrogate form", a(1023) + "\xED\xA0\x80",
       a(1023) + "\xED...(+2 bytes)"},
      {"overlong form", a(1023) + "\xC0\xAF", a(1023) + "\xC0...(+1 bytes)"},
      {"nothing but malformed bytes", std::string(3000, '\xFF'),
       std::string(1024, '\xFF') + "...(+1976 bytes)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CutLogValue(c.value), c.logged);
  }
}

// A request and an answer whose every field is far over the limit.
struct Oversized {
  Oversized() {
    const std::string euros = [] {
      std::string s;
      for (int i = 0; i < 1000; ++i) s += "\xE2\x82\xAC";
      return s;
    }();
    const std::string big(5000, 'v');
    raw.method = big;
    raw.version = big;
    raw.raw_path = "/" + big;
    raw.path_info = "/" + big;
    raw.query = big;
    raw.remote_addr = big;
    raw.body = big;
    for (const char* name : {"Accept", "From", "Referer", "Connection",
                             "REMOTE_HOST", "Authorization", "Content-Encoding",
                             "Content-Type", "Derived-From", "Cache-Control"}) {
      raw.headers.emplace_back(name, big + "\xC3\x28\xC2\x85\x9F");
    }
    raw.headers.emplace_back("Host", big + ":8080");
    raw.headers.emplace_back("User-Agent", euros);
    raw.headers.emplace_back("X-Forwarded-For", std::string(60'000, '1'));
    for (std::string* field :
         {&out.server, &out.allow, &out.location, &out.content_encoding,
          &out.content_type, &out.realm, &out.title, &out.content_version}) {
      *field = big;
    }
    out.status_code = 403;
  }
  RawRequest raw;
  RawResponse out;
};

void ExpectEveryValueCut(const JsonValue& entry) {
  ASSERT_EQ(entry.members().size(), 40u);
  const std::size_t most = kLogValueMaxBytes + std::string("...(+").size() +
                           20 + std::string(" bytes)").size();
  for (const JsonMember& pair : entry.members()) {
    EXPECT_LE(pair.value.text().size(), most) << pair.key;
  }
  // 341 euro signs are 1,023 bytes; the 342nd would cross the limit.
  std::string kept;
  for (int i = 0; i < 341; ++i) kept += "\xE2\x82\xAC";
  EXPECT_EQ(Value(entry, "request_user_agent"), kept + "...(+1977 bytes)");
  EXPECT_EQ(Value(entry, "request_accept"),
            std::string(1024, 'v') + "...(+3981 bytes)");
  EXPECT_EQ(Value(entry, "request_method"),
            std::string(1024, 'v') + "...(+3976 bytes)");
  EXPECT_EQ(Value(entry, "response_title"),
            std::string(1024, 'v') + "...(+3976 bytes)");
}

TEST(LogEntryTest, EveryValueOfAnEntryIsCut) {
  Oversized big;
  RawResponse answer = big.out;
  const JsonValue entry =
      BuildLogEntry(ApiRequest(big.raw), ApiResponse(answer), LogTime(), 0);
  ExpectEveryValueCut(entry);
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

// The metric of dropped entries counts the writer's queue too.
TEST(LoggerManagerTest, DropsAreCountedInEveryQueue) {
  class Dropping : public ApiLoggerProvider {
   public:
    void DoReceiveLogCache(const std::vector<JsonValue>&) override {}
    std::uint64_t DroppedTotal() const override { return 5; }
  };
  ApiLoggerManager manager(/*capacity=*/1);
  manager.AddProvider(std::make_shared<Dropping>());
  manager.AddProvider(std::make_shared<Dropping>());
  EXPECT_EQ(manager.DroppedEverywhere(), 10u + manager.DroppedTotal());
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

// A request the server turned away itself gets the same entry.
TEST(LoggerManagerTest, AnUnchainedEntryIsCutAsWell) {
  Oversized big;
  ApiLoggerManager manager;
  auto collector = std::make_shared<Collector>();
  manager.AddProvider(collector);
  manager.LogUnchained(big.raw, big.out);
  const auto entries = collector->WaitFor(1);
  ASSERT_EQ(entries.size(), 1u);
  ExpectEveryValueCut(entries[0]);
  EXPECT_EQ(Value(entries[0], "response_status"), "403");
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
  explicit Gated(std::size_t capacity,
                 std::size_t byte_capacity = kDefaultByteCapacity)
      : ApiLoggerThread(capacity, byte_capacity) {}
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

// The footprint follows what an entry really holds: a pair's fixed cost,
// then its key's and its value's bytes once they no longer fit inline.
TEST(LoggerThreadTest, AnEntrysFootprintCountsItsPairsAndTheirBytes) {
  auto entry = [](std::size_t pairs, std::size_t value_bytes) {
    JsonValue e = JsonValue::Object();
    e.members().reserve(pairs);
    for (std::size_t i = 0; i < pairs; ++i) {
      e.AddPair("request_path_translated",
                JsonValue::String(std::string(value_bytes, 'x')));
    }
    return e;
  };
  const std::size_t empty = LogEntryFootprint(JsonValue::Object());
  const std::size_t one = LogEntryFootprint(entry(1, 0));
  // The pair itself, and its 23-byte key, which does not fit inline.
  EXPECT_GE(one - empty, sizeof(JsonMember) + 24);
  EXPECT_LE(one - empty, sizeof(JsonMember) + 24 + 64);
  struct Case {
    std::size_t pairs;
    std::size_t value_bytes;
  };
  const Case cases[] = {{40, 0}, {40, 10}, {40, 100}, {40, 1000}, {3, 60'000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.pairs) + " x " +
                 std::to_string(c.value_bytes));
    const std::size_t bytes = LogEntryFootprint(entry(c.pairs, c.value_bytes));
    // Inline values (up to 15 bytes) cost nothing more than the pair.
    const std::size_t heap = c.value_bytes > 15 ? c.value_bytes + 1 : 0;
    EXPECT_GE(bytes, c.pairs * (sizeof(JsonMember) + 24 + heap));
    EXPECT_LE(bytes, empty + c.pairs * (sizeof(JsonMember) + 24 + heap + 64));
  }
}

TEST(LoggerThreadTest, APastTheByteBoundQueueDropsTheOldest) {
  auto text = [](char c, std::size_t n) {
    return JsonValue::String(std::string(n, c));
  };
  const std::size_t small = LogEntryFootprint(text('s', 100));
  const std::size_t big = LogEntryFootprint(text('B', 3000));
  struct Case {
    const char* name;
    std::size_t byte_capacity;
    std::vector<JsonValue> queued;
    std::string kept;  // the first letter of each entry kept
    std::uint64_t dropped;
  };
  const Case cases[] = {
      {"three fit",
       3 * small,
       {text('a', 100), text('b', 100), text('c', 100), text('d', 100),
        text('e', 100)},
       "cde",
       2},
      {"a big entry pushes out as many as it needs",
       2 * small + big,
       {text('a', 100), text('b', 100), text('c', 100), text('B', 3000),
        text('d', 100)},
       "cBd",
       2},
      {"an entry over the bound stays alone until the next",
       small,
       {text('a', 100), text('B', 3000), text('b', 100)},
       "b",
       2},
      {"under the bound nothing goes",
       5 * small,
       {text('a', 100), text('b', 100)},
       "ab",
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Gated thread(ApiLoggerThread::kDefaultCapacity, c.byte_capacity);
    for (const JsonValue& entry : c.queued) thread.NewLog(entry);
    EXPECT_EQ(thread.DroppedTotal(), c.dropped);
    EXPECT_EQ(thread.QueueLength(), c.kept.size());
    const std::size_t bytes = thread.QueueBytes();
    EXPECT_LE(bytes, std::max(c.byte_capacity, big));
    EXPECT_EQ(thread.TakeDropped(), c.dropped);
    const auto kept = thread.ExtractLogCache();
    std::string letters;
    std::size_t footprints = 0;
    for (const JsonValue& e : kept) {
      letters += e.text().front();
      footprints += LogEntryFootprint(e);
    }
    EXPECT_EQ(letters, c.kept);
    EXPECT_EQ(bytes, footprints);
    EXPECT_EQ(thread.QueueBytes(), 0u);
  }
}

// The manager's own queue: what it drops past its byte bound is what the
// dropped-entries metric counts, and what its providers hear of.
TEST(LoggerManagerTest, PastTheByteBoundEntriesAreCountedAndReported) {
  // Holds the manager's thread in its first batch until opened.
  class Held : public Collector {
   public:
    void DoReceiveLogCache(const std::vector<JsonValue>& batch) override {
      {
        std::unique_lock lock(mutex_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
      }
      Collector::DoReceiveLogCache(batch);
    }
    void ReportDropped(std::uint64_t count) override {
      std::lock_guard lock(mutex_);
      reported_ += count;
    }
    bool WaitEntered() {
      std::unique_lock lock(mutex_);
      return changed_.wait_for(lock, std::chrono::seconds(30),
                               [this] { return entered_; });
    }
    void Open() {
      std::lock_guard lock(mutex_);
      open_ = true;
      changed_.notify_all();
    }
    std::uint64_t Reported() {
      std::lock_guard lock(mutex_);
      return reported_;
    }

   private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool open_ = false;
    std::uint64_t reported_ = 0;
  };
  Oversized big;
  RawResponse answer = big.out;
  const JsonValue entry =
      BuildLogEntry(ApiRequest(big.raw), ApiResponse(answer), LogTime(), 0);
  auto held = std::make_shared<Held>();
  // What the queue holds is the copy NewLog takes.
  const JsonValue copy = entry;
  ApiLoggerManager manager(ApiLoggerThread::kDefaultCapacity,
                           10 * LogEntryFootprint(copy));
  manager.AddProvider(held);
  manager.NewLog(entry);
  ASSERT_TRUE(held->WaitEntered());
  for (int i = 0; i < 50; ++i) manager.NewLog(entry);
  EXPECT_EQ(manager.QueueLength(), 10u);
  EXPECT_EQ(manager.DroppedTotal(), 40u);
  held->Open();
  manager.Shutdown();
  EXPECT_EQ(held->WaitFor(11).size(), 11u);
  EXPECT_EQ(held->Reported(), 40u);
}

}  // namespace
}  // namespace norvessa
