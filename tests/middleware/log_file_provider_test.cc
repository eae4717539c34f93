#include "middleware/log_file_provider.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

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

TEST(LogFormatTest, PlaceholdersAndLines) {
  EXPECT_EQ(GetFormatParams("${a} x ${b_1} ${a} ${} ${a-b} ${a\xC3\xA7}"),
            (std::vector<std::string>{"a", "b_1", "a"}));
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
  // Let the writer run its failing pass.
  for (int i = 0; i < 50 && std::filesystem::exists(logs_); ++i) {
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(std::filesystem::exists(logs_));  // never created
  std::filesystem::create_directories(logs_);
  provider.DoReceiveLogCache({Entry("2.2.2.2", "/kept", "200")});
  for (int i = 0; i < 100 && Read(TodayFile(logs_)).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::string text = Read(TodayFile(logs_));
  EXPECT_EQ(text.find("/lost"), std::string::npos);
  EXPECT_NE(text.find("/kept"), std::string::npos);
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

}  // namespace
}  // namespace norvessa
