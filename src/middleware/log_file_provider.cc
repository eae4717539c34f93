#include "middleware/log_file_provider.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <exception>
#include <filesystem>

#include "framework/error_log.h"
#include "middleware/log_entry.h"
#include "text/date_text.h"
#include "text/number_text.h"

namespace norvessa {
namespace {

// The characters of a placeholder name: ASCII only, whatever the locale.
bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_';
}

std::string Today() {
  return FormatDateTimePattern("yyyy-mm-dd", DateTime::Now());
}

}  // namespace

LogFileCalls::LogFileCalls()
    : open([](const char* path, int flags, mode_t mode) {
        return ::open(path, flags, mode);
      }),
      write([](int fd, const void* data, std::size_t size) {
        return ::write(fd, data, size);
      }),
      pread([](int fd, void* data, std::size_t size, off_t offset) {
        return ::pread(fd, data, size, offset);
      }),
      fstat([](int fd, struct stat* status) { return ::fstat(fd, status); }),
      close([](int fd) { return ::close(fd); }) {}

std::string LogFileConfig::DefaultDir() {
  std::error_code ec;
  const auto program = std::filesystem::read_symlink("/proc/self/exe", ec);
  const std::string dir = ec ? "." : program.parent_path().string();
  return dir + "/Logs";
}

std::vector<std::string> GetFormatParams(std::string_view pattern) {
  // "${" + one or more name characters + "}", left to right; a start that
  // does not close that way is passed over by one character, so "$${x}"
  // and "${${x}}" still give x.
  std::vector<std::string> names;
  std::size_t start = 0;
  while ((start = pattern.find("${", start)) != std::string_view::npos) {
    std::size_t end = start + 2;
    while (end < pattern.size() && IsNameChar(pattern[end])) ++end;
    if (end > start + 2 && end < pattern.size() && pattern[end] == '}') {
      names.emplace_back(pattern.substr(start + 2, end - start - 2));
      start = end + 1;
    } else {
      ++start;
    }
  }
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
    if (!config_) config_.emplace();
    const std::string& dir = config_->dir;
    if (dir.find('\0') != std::string::npos) {
      // Nothing is taken out of the queue: the queue's bound counts them.
      Failed("Invalid characters in path");
      return;
    }
    std::string path = "LogsAPI_" + Today() + ".log";
    if (!dir.empty()) path = (dir.back() == '/' ? dir : dir + "/") + path;
    const std::vector<JsonValue> entries = ExtractLogCache();
    unreported_ += TakeDropped();
    if (entries.empty() && unreported_ == 0) return;

    const std::uint64_t dropped = unreported_;
    Batch batch;
    try {
      batch = Compose(entries, dropped);
    } catch (const std::exception& e) {
      unreported_ += entries.size();
      Failed(e.what());
      return;
    }
    const Outcome outcome = Append(path, batch.text);

    // A line whose text reached the file stays: the next pass ends it if
    // its CR LF fell short. Lines cut short, or never begun, are counted.
    std::uint64_t lost = 0;
    bool dropped_written = false;
    std::size_t line_start = kLead;
    for (std::size_t i = 0; i < batch.ends.size(); ++i) {
      const std::size_t end = batch.ends[i];
      const bool written = end + 2 <= outcome.reached ||
                           (end > line_start && end <= outcome.reached);
      if (i == 0 && dropped > 0) {
        dropped_written = written;
      } else if (!written) {
        ++lost;
      }
      line_start = end + 2;
    }
    if (dropped_written) unreported_ = 0;
    unreported_ += lost;

    if (!outcome.error.empty()) {
      Failed(outcome.error);
    } else if (failing_) {
      failing_ = false;
      Report("writing " + path + " again; " + FormatInteger(dropped) +
             (dropped == 1 ? " entry" : " entries") + " lost");
    }
  }

 private:
  // Room before a batch for the CR LF that ends a line left unfinished.
  static constexpr std::size_t kLead = 2;

  struct Batch {
    std::string text;
    // Where each line's text ends, before its CR LF.
    std::vector<std::size_t> ends;
  };

  struct Outcome {
    // How far into the batch's text the file got.
    std::size_t reached = 0;
    // Empty when every byte was written.
    std::string error;
  };

  Batch Compose(const std::vector<JsonValue>& entries,
                std::uint64_t dropped) const {
    const std::vector<std::string> params =
        GetFormatParams(config_->log_format);
    Batch batch;
    batch.text = "\r\n";
    batch.ends.reserve(entries.size() + 1);
    if (dropped > 0) {
      batch.text += FormatLogTime(LogTime::Now()) + " LOG DROPPED " +
                    FormatInteger(dropped) + " ENTRIES";
      batch.ends.push_back(batch.text.size());
      batch.text += "\r\n";
    }
    for (const JsonValue& entry : entries) {
      batch.text += FormatLogLine(config_->log_format, params, entry);
      batch.ends.push_back(batch.text.size());
      batch.text += "\r\n";
    }
    return batch;
  }

  // Appends the batch's text, led by as much of its CR LF as the file's
  // last line lacks. Nothing already in the file is ever cut: other
  // instances may share the folder.
  Outcome Append(const std::string& path, const std::string& text) const {
    const LogFileCalls& calls = config_->calls;
    // Read access is only for the file's last two bytes.
    int fd =
        calls.open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EACCES) {
      fd = calls.open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                      0644);
    }
    if (fd < 0) {
      const int error = errno;
      return {0, "cannot open " + path + ": " + strerror(error)};
    }
    Outcome outcome;
    outcome.reached = kLead - MissingLineEnd(fd);
    while (outcome.reached < text.size()) {
      const ssize_t n = calls.write(fd, text.data() + outcome.reached,
                                    text.size() - outcome.reached);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        const int error = n < 0 ? errno : EIO;
        outcome.error = "cannot write " + path + ": " + strerror(error);
        break;
      }
      outcome.reached += static_cast<std::size_t>(n);
    }
    calls.close(fd);
    return outcome;
  }

  // How many bytes of CR LF the file's last line lacks: none for an empty
  // file or one that ends in CR LF, and none when the end cannot be read.
  std::size_t MissingLineEnd(int fd) const {
    const LogFileCalls& calls = config_->calls;
    struct stat status {};
    if (calls.fstat(fd, &status) != 0 || status.st_size <= 0) return 0;
    const off_t size = status.st_size >= 2 ? 2 : 1;
    char tail[2] = {};
    if (calls.pread(fd, tail, static_cast<std::size_t>(size),
                    status.st_size - size) != size) {
      return 0;
    }
    if (size == 2 && tail[0] == '\r' && tail[1] == '\n') return 0;
    return tail[size - 1] == '\r' ? 1 : 2;
  }

  // The operator hears once that writing fails, and once that it works
  // again, not on every pass in between.
  void Failed(const std::string& reason) {
    if (failing_) return;
    failing_ = true;
    Report(reason);
  }

  static void Report(const std::string& message) {
    const std::string line = "request log: " + message + "\n";
    const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
  }

  std::optional<LogFileConfig> config_;
  // Entries not in the file and not yet told by a LOG DROPPED line: those
  // the queue dropped and those whose lines a failed pass lost.
  std::uint64_t unreported_ = 0;
  // From the first failed pass until one succeeds.
  bool failing_ = false;
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
