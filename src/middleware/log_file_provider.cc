#include "middleware/log_file_provider.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <fcntl.h>
#include <pcre2.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "framework/error_log.h"
#include "middleware/log_entry.h"

namespace norvessa {
namespace {

// The placeholder pattern, compiled once.
const pcre2_code* PlaceholderPattern() {
  static const pcre2_code* code = [] {
    int error = 0;
    PCRE2_SIZE offset = 0;
    // Without PCRE2_UCP, \w is ASCII letters, digits and the underscore.
    return pcre2_compile(reinterpret_cast<PCRE2_SPTR>(R"(\$\{\w+\})"),
                         PCRE2_ZERO_TERMINATED, 0, &error, &offset, nullptr);
  }();
  return code;
}

std::string Today() {
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char buf[16];
  char* p = buf;
  auto put = [&p](int value, int width) {
    char digits[8];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    for (int n = static_cast<int>(end - digits); n < width; ++n) *p++ = '0';
    for (char* d = digits; d != end; ++d) *p++ = *d;
  };
  put(local.tm_year + 1900, 4);
  *p++ = '-';
  put(local.tm_mon + 1, 2);
  *p++ = '-';
  put(local.tm_mday, 2);
  return std::string(buf, p);
}

}  // namespace

std::string LogFileConfig::DefaultDir() {
  std::error_code ec;
  const auto program = std::filesystem::read_symlink("/proc/self/exe", ec);
  const std::string dir = ec ? "." : program.parent_path().string();
  return dir + "/Logs";
}

std::vector<std::string> GetFormatParams(std::string_view pattern) {
  std::vector<std::string> names;
  const pcre2_code* code = PlaceholderPattern();
  if (code == nullptr) return names;
  pcre2_match_data* match = pcre2_match_data_create_from_pattern(code, nullptr);
  PCRE2_SIZE start = 0;
  while (start <= pattern.size() &&
         pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(pattern.data()),
                     pattern.size(), start, 0, match, nullptr) > 0) {
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(match);
    // "${" + name + "}"
    names.emplace_back(
        pattern.substr(ovector[0] + 2, ovector[1] - ovector[0] - 3));
    start = ovector[1];
  }
  pcre2_match_data_free(match);
  return names;
}

std::string FormatLogLine(std::string_view pattern,
                          const std::vector<std::string>& params,
                          const JsonValue& entry) {
  // One pass over the pattern: inserted text is never read again, so a
  // value that holds a placeholder stays as it is and a line is bounded by
  // the pattern and the values it takes.
  auto is_name_char = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c >= '0' && c <= '9') || c == '_';
  };
  std::string line;
  line.reserve(pattern.size() + 128);
  std::size_t pos = 0;
  while (pos < pattern.size()) {
    const std::size_t open = pattern.find("${", pos);
    if (open == std::string_view::npos) break;
    std::size_t close = open + 2;
    while (close < pattern.size() && is_name_char(pattern[close])) ++close;
    if (close == open + 2 || close >= pattern.size() || pattern[close] != '}') {
      // Not a placeholder: "${" is copied and the scan goes on after it.
      line.append(pattern.substr(pos, open + 2 - pos));
      pos = open + 2;
      continue;
    }
    line.append(pattern.substr(pos, open - pos));
    const std::string_view name = pattern.substr(open + 2, close - open - 2);
    const JsonValue* value = nullptr;
    if (std::find(params.begin(), params.end(), name) != params.end()) {
      value = entry.Find(name);
    }
    if (value != nullptr && value->IsString()) {
      AppendLogEscaped(line, value->text());
    } else {
      line.append(pattern.substr(open, close + 1 - open));
    }
    pos = close + 1;
  }
  line.append(pattern.substr(pos));
  return line;
}

class LogFileProvider::Writer : public ApiLoggerThread {
 public:
  Writer(std::optional<LogFileConfig> config, std::size_t capacity)
      : ApiLoggerThread(capacity), config_(std::move(config)) {
    Start();
  }
  ~Writer() override { Stop(); }

 protected:
  void DispatchLogCache() override {
    try {
      WriteBatch();
      last_error_.clear();
    } catch (const std::exception& e) {
      // The pass's lines are lost; the operator hears of it once, not on
      // every pass, and the writer goes on with the next pass.
      if (e.what() != last_error_) {
        last_error_ = e.what();
        const std::string line = "request log: " + last_error_ + "\n";
        const ssize_t ignored =
            ::write(STDERR_FILENO, line.data(), line.size());
        (void)ignored;
      }
    }
  }

 private:
  void WriteBatch() {
    if (!config_) config_.emplace();
    const std::string& dir = config_->dir;
    if (dir.find('\0') != std::string::npos) {
      throw std::runtime_error("Invalid characters in path");
    }
    std::string path = "LogsAPI_" + Today() + ".log";
    if (!dir.empty()) path = (dir.back() == '/' ? dir : dir + "/") + path;
    const std::vector<JsonValue> entries = ExtractLogCache();
    const std::uint64_t dropped = TakeDropped();
    if (entries.empty() && dropped == 0) return;

    const std::vector<std::string> params =
        GetFormatParams(config_->log_format);
    std::string text;
    if (dropped > 0) {
      char count[24];
      const auto [end, ec] =
          std::to_chars(count, count + sizeof count, dropped);
      text += FormatLogTime(LogTime::Now()) + " LOG DROPPED " +
              std::string(count, end) + " ENTRIES\r\n";
    }
    for (const JsonValue& entry : entries) {
      text += FormatLogLine(config_->log_format, params, entry);
      text += "\r\n";
    }
    // The folder is never created: without it the pass is lost.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      throw std::runtime_error("cannot open " + path + ": " + strerror(errno));
    }
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        const int error = errno;
        ::close(fd);
        throw std::runtime_error("cannot write " + path + ": " +
                                 strerror(error));
      }
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
  }

  std::optional<LogFileConfig> config_;
  std::string last_error_;
};

LogFileProvider::LogFileProvider(std::optional<LogFileConfig> config,
                                 std::size_t capacity)
    : writer_(std::make_unique<Writer>(std::move(config), capacity)) {}

LogFileProvider::~LogFileProvider() = default;

void LogFileProvider::DoReceiveLogCache(const std::vector<JsonValue>& batch) {
  for (const JsonValue& entry : batch) writer_->NewLog(entry);
}

void LogFileProvider::ReportDropped(std::uint64_t count) {
  writer_->AddDropped(count);
}

std::shared_ptr<ApiLoggerProvider> LogFileProvider::New(
    std::optional<LogFileConfig> config) {
  return std::make_shared<LogFileProvider>(std::move(config));
}

}  // namespace norvessa
