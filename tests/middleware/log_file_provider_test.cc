#include "middleware/log_file_provider.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_database.h"

namespace norvessa {
namespace {

JsonValue Entry(std::string ip, std::string path, std::string status) {
  JsonValue e = JsonValue::Object();
  e.AddPair("request_clientip", JsonValue::String(std::move(ip)))
      .AddPair("time", JsonValue::String("09/dezembro/2026 14:05:09.123"))
      .AddPair("request_method", JsonValue::String("GET"))
      .AddPair("request_path_info", JsonValue::String(std::move(path)))
      .AddPair("response_status", JsonValue::String(std::move(status)));
  return e;
}

std::string TodayFile(const std::string& dir) {
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char name[32];
  strftime(name, sizeof name, "LogsAPI_%Y-%m-%d.log", &local);
  return dir + "/" + name;
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(LogFormatTest, PlaceholderNames) {
  using Names = std::vector<std::string>;
  struct Case {
    std::string pattern;
    Names names;
  };
  const Case cases[] = {
      {"${a} x ${b_1} ${a} ${} ${a-b} ${a\xC3\xA7}", {"a", "b_1", "a"}},
      {"", {}},
      {"${}", {}},
      {"${a-b}", {}},
      {"$${x}", {"x"}},
      {"${${x}}", {"x"}},
      {"${abc", {}},
      {"${abc ${d}", {"d"}},
      {"${A9_z}${Q}", {"A9_z", "Q"}},
      {"${ a}${a }${\xE9}", {}},
      {std::string("${a\0b}${c}", 10), {"c"}},
      {"$ {a}{b}$", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(GetFormatParams(c.pattern), c.names);
  }
}

TEST(LogFormatTest, PlaceholdersAndLines) {
  const JsonValue e = Entry("10.0.0.1", "/usuarios", "200");
  EXPECT_EQ(FormatLogLine(kDefaultApiLogFormat,
                          GetFormatParams(kDefaultApiLogFormat), e),
            "10.0.0.1 [09/dezembro/2026 14:05:09.123] \"GET /usuarios\" 200");
  const std::string twice = "${response_status}/${response_status} ${nope}";
  EXPECT_EQ(FormatLogLine(twice, GetFormatParams(twice), e), "200/200 ${nope}");
  const JsonValue forged =
      Entry("1.1.1.1", "/a\r\n2.2.2.2 [x] \"GET /b\" 200\x01", "200");
  EXPECT_EQ(FormatLogLine("${request_path_info}",
                          GetFormatParams("${request_path_info}"), forged),
            "/a\\r\\n2.2.2.2 [x] \"GET /b\" 200\\x01");
}

// Inserted text is never read again: a client address that names other
// placeholders stays as sent, and a line costs no more than its inputs.
TEST(LogFormatTest, OnePassOverThePattern) {
  std::string forged_ip;
  for (int i = 0; i < 1600; ++i) forged_ip += "${request_path_info}";
  const std::string long_path = "/" + std::string(31000, 'A');
  const JsonValue e = Entry(forged_ip, long_path, "200");
  const std::string line = FormatLogLine(
      kDefaultApiLogFormat, GetFormatParams(kDefaultApiLogFormat), e);
  EXPECT_EQ(line, forged_ip + " [09/dezembro/2026 14:05:09.123] \"GET " +
                      long_path + "\" 200");
  struct Case {
    const char* pattern;
    const char* line;
  };
  const Case cases[] = {
      {"${${response_status}}", "${200}"},
      {"$${response_status}$", "$200$"},
      {"${response_status", "${response_status"},
      {"${} ${response-status} ${response_status}",
       "${} ${response-status} 200"},
      {"tail ${", "tail ${"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(FormatLogLine(c.pattern, GetFormatParams(c.pattern), e), c.line);
  }
}

TEST(LogFormatTest, ControlsAndBytesThatAreNotUtf8AreEscaped) {
  struct Case {
    std::string value;
    std::string written;
  };
  const Case cases[] = {
      {"caf\xC3\xA9 \xEF\xBF\xBD", "caf\xC3\xA9 \xEF\xBF\xBD"},
      {"a\tb\x7F", "a\\x09b\\x7F"},
      // NEL and CSI: C1 controls, each byte of their UTF-8 form.
      {"x\xC2\x85y\xC2\x9B", "x\\xC2\\x85y\\xC2\\x9B"},
      {"\xFF\xFEok", "\\xFF\\xFEok"},
      {"cut \xC3", "cut \\xC3"},
      {"\xED\xA0\x80", "\\xED\\xA0\\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.written);
    const JsonValue e = Entry("1.1.1.1", c.value, "200");
    EXPECT_EQ(FormatLogLine("${request_path_info}",
                            GetFormatParams("${request_path_info}"), e),
              c.written);
  }
}

class LogFileTest : public ::testing::Test {
 protected:
  LogFileTest() { std::filesystem::create_directories(logs_); }
  LogFileConfig Config() {
    LogFileConfig c;
    c.dir = logs_;
    return c;
  }
  testing::TempDatabase dir_;
  std::string logs_ = dir_.dir() + "/Logs";
};

TEST_F(LogFileTest, BatchesAppendInOrderWithCrLf) {
  std::ofstream(TodayFile(logs_), std::ios::binary) << "earlier line\r\n";
  {
    LogFileProvider provider(Config());
    provider.DoReceiveLogCache({Entry("1.1.1.1", "/a", "200"),
                                Entry("2.2.2.2", "/b", "404"),
                                Entry("3.3.3.3", "/c", "500")});
  }  // the writer's last pass
  EXPECT_EQ(Read(TodayFile(logs_)),
            "earlier line\r\n"
            "1.1.1.1 [09/dezembro/2026 14:05:09.123] \"GET /a\" 200\r\n"
            "2.2.2.2 [09/dezembro/2026 14:05:09.123] \"GET /b\" 404\r\n"
            "3.3.3.3 [09/dezembro/2026 14:05:09.123] \"GET /c\" 500\r\n");
}

TEST_F(LogFileTest, AMissingFolderLosesOnlyThatPass) {
  std::filesystem::remove_all(logs_);
  LogFileProvider provider(Config());
  provider.DoReceiveLogCache({Entry("1.1.1.1", "/lost", "200")});
  // The writer's failing pass counts its entry as lost.
  for (int i = 0; i < 60000 && provider.LostTotal() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(provider.LostTotal(), 1u);
  EXPECT_FALSE(std::filesystem::exists(logs_));  // never created
  std::filesystem::create_directories(logs_);
  provider.DoReceiveLogCache({Entry("2.2.2.2", "/kept", "200")});
  for (int i = 0; i < 100 && Read(TodayFile(logs_)).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::string text = Read(TodayFile(logs_));
  EXPECT_EQ(text.find("/lost"), std::string::npos);
  const std::size_t kept = text.find("/kept");
  ASSERT_NE(kept, std::string::npos);
  // The lost entry is counted at the head of the pass that worked.
  EXPECT_LT(text.find(" LOG DROPPED 1 ENTRIES\r\n"), kept) << text;
}

TEST_F(LogFileTest, DroppedEntriesAreReportedFirst) {
  {
    LogFileProvider provider(Config());
    provider.ReportDropped(7);
    provider.DoReceiveLogCache({Entry("1.1.1.1", "/a", "200")});
  }
  const std::string text = Read(TodayFile(logs_));
  const std::size_t drop = text.find(" LOG DROPPED 7 ENTRIES\r\n");
  ASSERT_NE(drop, std::string::npos) << text;
  EXPECT_LT(drop, text.find("/a"));
}

TEST_F(LogFileTest, ShutdownDrainsEveryEntry) {
  constexpr int kEntries = 2000;
  {
    ApiLoggerManager manager;
    manager.AddProvider(std::make_shared<LogFileProvider>(Config()));
    for (int i = 0; i < kEntries; ++i) {
      manager.NewLog(Entry("1.1.1.1", "/n" + std::to_string(i), "200"));
    }
    manager.Shutdown();
  }
  const std::string text = Read(TodayFile(logs_));
  std::size_t lines = 0;
  for (std::size_t p = 0; (p = text.find("\r\n", p)) != std::string::npos;
       p += 2) {
    ++lines;
  }
  EXPECT_EQ(lines, static_cast<std::size_t>(kEntries));
  EXPECT_NE(text.find("/n1999\" 200\r\n"), std::string::npos);
}

// Sends fd 2 to a file while it lives: the writer tells the operator
// there. What it caught is passed on when the test failed.
class StderrCapture {
 public:
  explicit StderrCapture(std::string path) : path_(std::move(path)) {
    std::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    const int fd =
        ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  ~StderrCapture() {
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    if (::testing::Test::HasFailure()) {
      const std::string caught = "captured stderr:\n" + Text();
      const ssize_t ignored =
          ::write(STDERR_FILENO, caught.data(), caught.size());
      (void)ignored;
    }
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  std::string Text() const { return Read(path_); }

 private:
  std::string path_;
  int saved_ = -1;
};

// Real files on a disk with a set number of free bytes: a write that does
// not fit falls short and the next one fails with ENOSPC, as the kernel
// does when a disk fills up.
class FakeDisk {
 public:
  static constexpr std::size_t kUnlimited = SIZE_MAX;

  LogFileCalls Calls() {
    LogFileCalls calls;
    calls.write = [this](int fd, const void* data, std::size_t size) {
      return Write(fd, static_cast<const char*>(data), size);
    };
    calls.close = [this](int fd) {
      std::lock_guard lock(mutex_);
      ++closes_;
      settled_changed_.notify_all();
      return ::close(fd);
    };
    return calls;
  }
  void SetFree(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    free_ = bytes;
  }
  // Until `count` passes have closed the file: a pass that fails offers
  // none of its later lines.
  bool WaitForPasses(int count) {
    std::unique_lock lock(mutex_);
    return settled_changed_.wait_for(lock, std::chrono::seconds(10),
                                     [&] { return closes_ >= count; });
  }
  // Until a write has written `text` or refused it.
  bool WaitFor(std::string_view text) {
    std::unique_lock lock(mutex_);
    return settled_changed_.wait_for(lock, std::chrono::seconds(10), [&] {
      return settled_.find(text) != std::string::npos;
    });
  }

 private:
  ssize_t Write(int fd, const char* data, std::size_t size) {
    std::lock_guard lock(mutex_);
    if (free_ == 0) {
      settled_.append(data, size);
      settled_changed_.notify_all();
      errno = ENOSPC;
      return -1;
    }
    const ssize_t n = ::write(fd, data, std::min(size, free_));
    if (n > 0) {
      if (free_ != kUnlimited) free_ -= static_cast<std::size_t>(n);
      settled_.append(data, static_cast<std::size_t>(n));
      settled_changed_.notify_all();
    }
    return n;
  }

  std::mutex mutex_;
  std::condition_variable settled_changed_;
  std::size_t free_ = kUnlimited;
  std::string settled_;
  int closes_ = 0;
};

std::string LineOf(const std::string& path) {
  return "1.1.1.1 [09/dezembro/2026 14:05:09.123] \"GET " + path + "\" 200";
}

// The LOG DROPPED line's time is the pass's own; "<t>" stands for it.
std::string WithoutDropTimes(const std::string& text) {
  static const std::regex time(
      R"(\d\d/[^/ \r\n]+/\d{4} \d\d:\d\d:\d\d\.\d{3} LOG DROPPED)");
  return std::regex_replace(text, time, "<t> LOG DROPPED");
}

TEST_F(LogFileTest, AFullDiskCountsItsLossAndTellsTheOperatorTwice) {
  const std::string path = TodayFile(logs_);
  StderrCapture stderr_text(dir_.dir() + "/stderr.txt");
  {
    FakeDisk disk;
    LogFileConfig config = Config();
    config.calls = disk.Calls();
    LogFileProvider provider(std::move(config));
    provider.DoReceiveLogCache({Entry("1.1.1.1", "/before", "200")});
    ASSERT_TRUE(disk.WaitFor("/before"));

    disk.SetFree(0);
    // Entries the queue dropped are carried over the failed passes too.
    provider.ReportDropped(5);
    provider.DoReceiveLogCache({Entry("1.1.1.1", "/full1", "200"),
                                Entry("1.1.1.1", "/full2", "200"),
                                Entry("1.1.1.1", "/full3", "200")});
    ASSERT_TRUE(disk.WaitFor("/full3"));
    provider.DoReceiveLogCache({Entry("1.1.1.1", "/full4", "200")});
    ASSERT_TRUE(disk.WaitFor("/full4"));

    disk.SetFree(FakeDisk::kUnlimited);
    provider.DoReceiveLogCache({Entry("1.1.1.1", "/after", "200")});
  }
  EXPECT_EQ(WithoutDropTimes(Read(path)),
            LineOf("/before") + "\r\n<t> LOG DROPPED 9 ENTRIES\r\n" +
                LineOf("/after") + "\r\n");
  EXPECT_EQ(stderr_text.Text(), "request log: cannot write " + path +
                                    ": No space left on device\n"
                                    "request log: writing " +
                                    path + " again; 9 entries lost\n");
}

// A write that falls short leaves part of a line; the next pass ends that
// line first, and the lost lines are counted.
TEST_F(LogFileTest, AShortWriteNeverRunsIntoTheNextLine) {
  const std::string l1 = LineOf("/n1"), l2 = LineOf("/n2"), l3 = LineOf("/n3"),
                    l4 = LineOf("/n4");
  const std::size_t line = l1.size() + 2;
  struct Case {
    const char* name;
    std::string before;  // in the file already
    std::size_t free;    // bytes free for the first three lines
    std::string after;
    int lost;
  };
  const Case cases[] = {
      {"cut in the first line", "", 10,
       l1.substr(0, 10) + "\r\n<t> LOG DROPPED 3 ENTRIES\r\n" + l4 + "\r\n", 3},
      {"cut in the second line", "", line + 10,
       l1 + "\r\n" + l2.substr(0, 10) + "\r\n<t> LOG DROPPED 2 ENTRIES\r\n" +
           l4 + "\r\n",
       2},
      {"cut before CR", "", line + l2.size(),
       l1 + "\r\n" + l2 + "\r\n<t> LOG DROPPED 1 ENTRIES\r\n" + l4 + "\r\n", 1},
      {"cut between CR and LF", "", line + l2.size() + 1,
       l1 + "\r\n" + l2 + "\r\n<t> LOG DROPPED 1 ENTRIES\r\n" + l4 + "\r\n", 1},
      {"cut at a line's end", "", 2 * line,
       l1 + "\r\n" + l2 + "\r\n<t> LOG DROPPED 1 ENTRIES\r\n" + l4 + "\r\n", 1},
      {"no room at all", "", 0, "<t> LOG DROPPED 3 ENTRIES\r\n" + l4 + "\r\n",
       3},
      {"another writer's unfinished line", "9.9.9.9 [09/dez",
       FakeDisk::kUnlimited,
       "9.9.9.9 [09/dez\r\n" + l1 + "\r\n" + l2 + "\r\n" + l3 + "\r\n" + l4 +
           "\r\n",
       0},
      {"a file that ends in CR", "earlier\r", FakeDisk::kUnlimited,
       "earlier\r\n" + l1 + "\r\n" + l2 + "\r\n" + l3 + "\r\n" + l4 + "\r\n",
       0},
      {"a one-byte file", "x", FakeDisk::kUnlimited,
       "x\r\n" + l1 + "\r\n" + l2 + "\r\n" + l3 + "\r\n" + l4 + "\r\n", 0},
  };
  // The accounting is the same whether a pass writes all its lines at once
  // or each in a piece of its own.
  std::vector<std::pair<std::size_t, const Case*>> runs;
  for (const std::size_t piece : {kLogPieceBytes, std::size_t{1}}) {
    for (const Case& c : cases) runs.emplace_back(piece, &c);
  }
  for (const auto& [piece, run] : runs) {
    const Case& c = *run;
    SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
    std::filesystem::remove_all(logs_);
    std::filesystem::create_directories(logs_);
    const std::string path = TodayFile(logs_);
    if (!c.before.empty()) std::ofstream(path, std::ios::binary) << c.before;
    StderrCapture stderr_text(dir_.dir() + "/stderr.txt");
    {
      FakeDisk disk;
      disk.SetFree(c.free);
      LogFileConfig config = Config();
      config.calls = disk.Calls();
      config.piece_bytes = piece;
      LogFileProvider provider(std::move(config));
      provider.DoReceiveLogCache({Entry("1.1.1.1", "/n1", "200"),
                                  Entry("1.1.1.1", "/n2", "200"),
                                  Entry("1.1.1.1", "/n3", "200")});
      ASSERT_TRUE(disk.WaitForPasses(1));
      disk.SetFree(FakeDisk::kUnlimited);
      provider.DoReceiveLogCache({Entry("1.1.1.1", "/n4", "200")});
    }
    EXPECT_EQ(WithoutDropTimes(Read(path)), c.after);
    const std::string told =
        c.lost == 0 ? ""
                    : "request log: cannot write " + path +
                          ": No space left on device\nrequest log: writing " +
                          path + " again; " + std::to_string(c.lost) +
                          (c.lost == 1 ? " entry" : " entries") + " lost\n";
    EXPECT_EQ(stderr_text.Text(), told);
  }
}

// Real files, seen through calls that count the opens and closes, keep
// what was written and the size of each write, and a clock of their own
// that each write moves on by `step`: a disk that takes its time, without
// the test waiting for it.
class SlowDisk {
 public:
  explicit SlowDisk(std::chrono::seconds step) : step_(step) {}

  LogFileCalls Calls() {
    LogFileCalls calls;
    calls.open = [this](const char* path, int flags, mode_t mode) {
      const int fd = ::open(path, flags, mode);
      std::lock_guard lock(mutex_);
      ++opens_;
      return fd;
    };
    calls.close = [this](int fd) {
      {
        std::lock_guard lock(mutex_);
        ++closes_;
      }
      return ::close(fd);
    };
    calls.write = [this](int fd, const void* data, std::size_t size) {
      const ssize_t n = ::write(fd, data, size);
      std::lock_guard lock(mutex_);
      now_ += step_;
      largest_write_ = std::max(largest_write_, size);
      ++writes_;
      if (n > 0) written_.append(static_cast<const char*>(data), n);
      changed_.notify_all();
      return n;
    };
    calls.now = [this] {
      std::lock_guard lock(mutex_);
      return now_;
    };
    return calls;
  }
  bool WaitFor(std::string_view text) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] {
      return written_.find(text) != std::string::npos;
    });
  }
  int opens() {
    std::lock_guard lock(mutex_);
    return opens_;
  }
  int closes() {
    std::lock_guard lock(mutex_);
    return closes_;
  }
  int writes() {
    std::lock_guard lock(mutex_);
    return writes_;
  }
  std::size_t largest_write() {
    std::lock_guard lock(mutex_);
    return largest_write_;
  }

 private:
  const std::chrono::seconds step_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::chrono::steady_clock::time_point now_;
  int opens_ = 0, closes_ = 0, writes_ = 0;
  std::size_t largest_write_ = 0;
  std::string written_;
};

std::vector<JsonValue> Numbered(int count) {
  std::vector<JsonValue> entries;
  for (int i = 0; i < count; ++i) {
    char path[16];
    std::snprintf(path, sizeof path, "/n%04d", i);
    entries.push_back(Entry("1.1.1.1", path, "200"));
  }
  return entries;
}

std::string NumberedLines(int first, int end) {
  std::string text;
  for (int i = first; i < end; ++i) {
    char path[16];
    std::snprintf(path, sizeof path, "/n%04d", i);
    text += LineOf(path) + "\r\n";
  }
  return text;
}

// Ends the provider on another thread, so that a stop that never ends
// fails the test instead of hanging it.
void StopWithin(std::unique_ptr<LogFileProvider>& provider,
                std::chrono::seconds deadline) {
  auto stopped = std::async(std::launch::async, [&] { provider.reset(); });
  ASSERT_EQ(stopped.wait_for(deadline), std::future_status::ready)
      << "the writer's last pass did not end";
}

// A writer whose passes are an hour apart: after its first pass, what is
// queued waits for the last one, at stop.
LogFileConfig HeldBackConfig(LogFileConfig config) {
  config.pass_interval = std::chrono::hours(1);
  return config;
}

TEST_F(LogFileTest, TheLastPassGivesUpWhenTheDrainBudgetRunsOut) {
  constexpr int kQueued = 100;
  struct Case {
    const char* name;
    std::chrono::seconds budget;  // each write takes a second
    int dropped_before;           // by the queue, not yet told
    std::string after_first;
    bool gives_up;
  };
  const Case cases[] = {
      {"no time at all", std::chrono::seconds(0), 0,
       "<t> LOG DROPPED 100 ENTRIES\r\n", true},
      {"five writes", std::chrono::seconds(5), 0,
       NumberedLines(0, 5) + "<t> LOG DROPPED 95 ENTRIES\r\n", true},
      {"earlier drops are told with the rest", std::chrono::seconds(0), 7,
       "<t> LOG DROPPED 107 ENTRIES\r\n", true},
      {"earlier drops first, then what time allows", std::chrono::seconds(3), 7,
       "<t> LOG DROPPED 7 ENTRIES\r\n" + NumberedLines(0, 2) +
           "<t> LOG DROPPED 98 ENTRIES\r\n",
       true},
      {"time enough", std::chrono::seconds(1000), 0, NumberedLines(0, kQueued),
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(logs_);
    std::filesystem::create_directories(logs_);
    StderrCapture stderr_text(dir_.dir() + "/stderr.txt");
    SlowDisk disk(std::chrono::seconds(1));
    LogFileConfig config = HeldBackConfig(Config());
    config.calls = disk.Calls();
    config.drain_budget = c.budget;
    config.piece_bytes = 1;  // one write per line
    auto provider = std::make_unique<LogFileProvider>(std::move(config));
    provider->DoReceiveLogCache({Entry("1.1.1.1", "/first", "200")});
    ASSERT_TRUE(disk.WaitFor("/first"));
    if (c.dropped_before > 0) provider->ReportDropped(c.dropped_before);
    provider->DoReceiveLogCache(Numbered(kQueued));
    StopWithin(provider, std::chrono::seconds(60));
    EXPECT_EQ(WithoutDropTimes(Read(TodayFile(logs_))),
              LineOf("/first") + "\r\n" + c.after_first);
    EXPECT_EQ(
        stderr_text.Text().find("request log: stopping: ") != std::string::npos,
        c.gives_up)
        << stderr_text.Text();
  }
}

TEST_F(LogFileTest, APassWritesInPiecesThroughOneOpen) {
  constexpr int kQueued = 2000;
  const std::size_t line = LineOf("/n0000").size() + 2;
  for (const std::size_t piece :
       {std::size_t{1}, std::size_t{1000}, std::size_t{64 * 1024}}) {
    SCOPED_TRACE("pieces of " + std::to_string(piece));
    std::filesystem::remove_all(logs_);
    std::filesystem::create_directories(logs_);
    SlowDisk disk(std::chrono::seconds(0));
    LogFileConfig config = HeldBackConfig(Config());
    config.calls = disk.Calls();
    config.piece_bytes = piece;
    auto provider = std::make_unique<LogFileProvider>(std::move(config));
    provider->DoReceiveLogCache({Entry("1.1.1.1", "/first", "200")});
    ASSERT_TRUE(disk.WaitFor("/first"));
    provider->DoReceiveLogCache(Numbered(kQueued));
    StopWithin(provider, std::chrono::seconds(60));
    EXPECT_EQ(Read(TodayFile(logs_)),
              LineOf("/first") + "\r\n" + NumberedLines(0, kQueued));
    // Two passes: the first entry's, and the last with all the others.
    EXPECT_EQ(disk.opens(), 2);
    EXPECT_EQ(disk.closes(), 2);
    // A piece passes its size by one line at most.
    EXPECT_LE(disk.largest_write(), std::max(piece, line) + line);
    EXPECT_GE(disk.writes(),
              1 + static_cast<int>(kQueued * line / (piece + line)));
  }
}

TEST_F(LogFileTest, PastTheByteBoundTheWritersQueueDropsTheOldest) {
  std::vector<JsonValue> entries = Numbered(10);
  // What the queue holds is the copy it takes of each entry.
  const JsonValue copy = entries.front();
  SlowDisk disk(std::chrono::seconds(0));
  LogFileConfig config = HeldBackConfig(Config());
  config.calls = disk.Calls();
  auto provider = std::make_unique<LogFileProvider>(
      std::move(config), ApiLoggerThread::kDefaultCapacity,
      3 * LogEntryFootprint(copy));
  provider->DoReceiveLogCache({Entry("1.1.1.1", "/first", "200")});
  ASSERT_TRUE(disk.WaitFor("/first"));
  provider->DoReceiveLogCache(entries);
  StopWithin(provider, std::chrono::seconds(60));
  EXPECT_EQ(WithoutDropTimes(Read(TodayFile(logs_))),
            LineOf("/first") + "\r\n<t> LOG DROPPED 7 ENTRIES\r\n" +
                NumberedLines(7, 10));
}

// Mounted over the Logs folder while it lives, when the system allows it.
class SmallTmpfs {
 public:
  explicit SmallTmpfs(std::string dir) : dir_(std::move(dir)) {
    if (::geteuid() != 0) {
      refusal_ = "mounting a tmpfs needs root";
    } else if (::mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=64k") != 0) {
      refusal_ = std::string("mount tmpfs refused: ") + std::strerror(errno);
    }
  }
  ~SmallTmpfs() {
    if (refusal_.empty()) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  SmallTmpfs(const SmallTmpfs&) = delete;
  SmallTmpfs& operator=(const SmallTmpfs&) = delete;

  // Empty when mounted.
  const std::string& refusal() const { return refusal_; }

 private:
  std::string dir_;
  std::string refusal_;
};

TEST_F(LogFileTest, ARealFullDiskKeepsLinesWholeAndCountsTheLoss) {
  SmallTmpfs tmpfs(logs_);
  if (!tmpfs.refusal().empty()) GTEST_SKIP() << tmpfs.refusal();
  // 60 KiB of the 64 leave the log one page.
  const std::string filler = logs_ + "/filler";
  std::ofstream(filler, std::ios::binary) << std::string(60 * 1024, 'f');
  ASSERT_EQ(std::filesystem::file_size(filler), 60u * 1024);

  auto batch = [](int first, int count) {
    std::vector<JsonValue> entries;
    for (int i = first; i < first + count; ++i) {
      char path[16];
      std::snprintf(path, sizeof path, "/n%06d", i);
      entries.push_back(Entry("1.1.1.1", path, "200"));
    }
    return entries;
  };
  constexpr int kWhileFull = 300, kAfter = 20;
  StderrCapture stderr_text(dir_.dir() + "/stderr.txt");
  {
    LogFileProvider provider(Config());
    provider.DoReceiveLogCache(batch(0, kWhileFull));
    for (int i = 0;
         i < 500 && stderr_text.Text().find("No space left on device") ==
                        std::string::npos;
         ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_NE(stderr_text.Text().find("No space left on device"),
              std::string::npos);
    std::filesystem::remove(filler);
    provider.DoReceiveLogCache(batch(kWhileFull, kAfter));
  }
  const std::string text = Read(TodayFile(logs_));
  ASSERT_FALSE(text.empty());
  ASSERT_EQ(text.substr(text.size() - 2), "\r\n");

  // Every line is an entry's, a LOG DROPPED line, or the one line the
  // disk cut short; none runs into another.
  static const std::regex entry_line(
      R"(1\.1\.1\.1 \[09/dezembro/2026 14:05:09\.123\] "GET /n\d{6}" 200)");
  static const std::regex drop_line(
      R"(\d\d/[^/ ]+/\d{4} \d\d:\d\d:\d\d\.\d{3} LOG DROPPED (\d+) ENTRIES)");
  const std::string shape = LineOf("/n000000");
  std::uint64_t whole = 0, dropped = 0;
  int drop_lines = 0, cut_lines = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    const std::string line = text.substr(start, end - start);
    start = end + 2;
    std::smatch match;
    if (std::regex_match(line, entry_line)) {
      ++whole;
    } else if (std::regex_match(line, match, drop_line)) {
      ++drop_lines;
      dropped += std::stoull(match[1]);
      EXPECT_EQ(drop_lines, 1) << "the loss is told once";
    } else {
      std::string digits_as_zero = line;
      for (char& ch : digits_as_zero) {
        if (ch >= '1' && ch <= '9') ch = '0';
      }
      std::string shape_as_zero = shape.substr(0, line.size());
      for (char& ch : shape_as_zero) {
        if (ch >= '1' && ch <= '9') ch = '0';
      }
      ++cut_lines;
      EXPECT_TRUE(line.size() < shape.size() && digits_as_zero == shape_as_zero)
          << "not a whole line: " << line;
      EXPECT_EQ(drop_lines, 0) << "cut after the loss was told: " << line;
    }
  }
  EXPECT_LE(cut_lines, 1);
  EXPECT_EQ(drop_lines, 1);
  EXPECT_GT(dropped, 0u);
  EXPECT_EQ(whole + dropped, static_cast<std::uint64_t>(kWhileFull + kAfter));
  EXPECT_NE(stderr_text.Text().find(" again; " + std::to_string(dropped) +
                                    " entries lost\n"),
            std::string::npos);
}

}  // namespace
}  // namespace norvessa
