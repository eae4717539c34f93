#include "middleware/log_file_provider.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
      close([](int fd) { return ::close(fd); }),
      now([] { return std::chrono::steady_clock::now(); }) {}

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

namespace {

// FormatLogLine's line, appended to `line`.
void AppendLogLine(std::string& line, std::string_view pattern,
                   const std::vector<std::string>& params,
                   const JsonValue& entry) {
  // One pass over the pattern: inserted text is never read again, so a
  // value that holds a placeholder stays as it is and a line is bounded by
  // the pattern and the values it takes.
  auto is_name_char = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c >= '0' && c <= '9') || c == '_';
  };
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
}

// One pass's file: opened once, appended to a piece at a time, closed once.
// It follows the pass's text as one stream (as much of the lead CR LF as
// the file's last line lacks, then each line and its CR LF) and judges
// each line by how far the stream got into the file: a line whose text got
// there stays (the next pass ends it if its CR LF fell short); a line cut
// short, or never begun, is lost. Nothing already in the file is ever
// cut: other instances may share the folder.
class LogStream {
 public:
  // Room before the first line for the CR LF that ends a line left
  // unfinished.
  static constexpr std::size_t kLead = 2;

  LogStream(const LogFileCalls& calls, const std::string& path,
            std::size_t piece_bytes)
      : calls_(calls), path_(path), piece_bytes_(piece_bytes) {
    // Read access is only for the file's last two bytes.
    fd_ = calls_.open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC,
                      0644);
    if (fd_ < 0 && errno == EACCES) {
      fd_ = calls_.open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                        0644);
    }
    if (fd_ < 0) {
      const int error = errno;
      error_ = "cannot open " + path + ": " + strerror(error);
      return;
    }
    text_ = "\r\n";
    reached_ = kLead - MissingLineEnd();
  }
  ~LogStream() {
    if (fd_ >= 0) calls_.close(fd_);
  }
  LogStream(const LogStream&) = delete;
  LogStream& operator=(const LogStream&) = delete;

  // Empty while every byte so far was written.
  const std::string& error() const { return error_; }
  bool Failed() const { return !error_.empty(); }
  // The piece being composed; a line's text is appended here, then ended.
  std::string& text() { return text_; }
  void EndLine() {
    ends_.push_back(base_ + text_.size());
    text_ += "\r\n";
  }
  bool PieceFull() const { return text_.size() >= piece_bytes_; }

  // Writes the piece, then judges its lines.
  void Flush() {
    std::size_t at = reached_ - base_;
    while (!Failed() && at < text_.size()) {
      const ssize_t n = calls_.write(fd_, text_.data() + at, text_.size() - at);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        const int error = n < 0 ? errno : EIO;
        error_ = "cannot write " + path_ + ": " + strerror(error);
        break;
      }
      at += static_cast<std::size_t>(n);
    }
    if (at > reached_ - base_) reached_ = base_ + at;
    for (const std::size_t end : ends_) {
      const bool written =
          end + 2 <= reached_ || (end > line_start_ && end <= reached_);
      if (written) {
        ++lines_written_;
        if (lines_judged_ == 0) first_line_written_ = true;
      }
      line_start_ = end + 2;
      ++lines_judged_;
    }
    base_ += text_.size();
    text_.clear();
    ends_.clear();
  }

  std::uint64_t lines_written() const { return lines_written_; }
  bool first_line_written() const { return first_line_written_; }

 private:
  // How many bytes of CR LF the file's last line lacks: none for an empty
  // file or one that ends in CR LF, and none when the end cannot be read.
  std::size_t MissingLineEnd() const {
    struct stat status {};
    if (calls_.fstat(fd_, &status) != 0 || status.st_size <= 0) return 0;
    const off_t size = status.st_size >= 2 ? 2 : 1;
    char tail[2] = {};
    if (calls_.pread(fd_, tail, static_cast<std::size_t>(size),
                     status.st_size - size) != size) {
      return 0;
    }
    if (size == 2 && tail[0] == '\r' && tail[1] == '\n') return 0;
    return tail[size - 1] == '\r' ? 1 : 2;
  }

  const LogFileCalls& calls_;
  const std::string& path_;
  const std::size_t piece_bytes_;
  int fd_ = -1;
  std::string error_;
  std::string text_;
  // Where each line of the piece ends in the stream, before its CR LF.
  std::vector<std::size_t> ends_;
  // Where the piece starts in the stream, and how far the file got.
  std::size_t base_ = 0;
  std::size_t reached_ = 0;
  std::size_t line_start_ = kLead;
  std::uint64_t lines_judged_ = 0;
  std::uint64_t lines_written_ = 0;
  bool first_line_written_ = false;
};

}  // namespace

std::string FormatLogLine(std::string_view pattern,
                          const std::vector<std::string>& params,
                          const JsonValue& entry) {
  std::string line;
  line.reserve(pattern.size() + 128);
  AppendLogLine(line, pattern, params, entry);
  return line;
}

class LogFileProvider::Writer : public ApiLoggerThread {
 public:
  Writer(std::optional<LogFileConfig> config, std::size_t capacity,
         std::size_t byte_capacity)
      : ApiLoggerThread(capacity, byte_capacity,
                        config ? config->pass_interval : kDefaultInterval),
        config_(std::move(config)) {
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
    std::vector<JsonValue> entries = ExtractLogCache();
    unreported_ += TakeDropped();
    if (entries.empty() && unreported_ == 0) return;

    const std::uint64_t dropped = unreported_;
    LogStream stream(config_->calls, path, config_->piece_bytes);
    bool gave_up = false;
    std::string error;
    if (!stream.Failed()) {
      try {
        gave_up = WriteLines(stream, entries, dropped);
      } catch (const std::exception& e) {
        // Lines already in the file stay; the rest of the pass is lost.
        error = e.what();
      }
    }
    if (error.empty()) error = stream.error();

    std::uint64_t entries_written = stream.lines_written();
    if (dropped > 0 && stream.first_line_written()) {
      --entries_written;
      unreported_ = 0;
    }
    const std::uint64_t lost = entries.size() - entries_written;
    unreported_ += lost;
    lost_total_.fetch_add(lost, std::memory_order_relaxed);

    if (gave_up && error.empty()) {
      Report("stopping: the drain budget ran out with " +
             FormatInteger(static_cast<std::int64_t>(unreported_)) +
             " entries unwritten");
      // Best effort: what was not written is told by a last line.
      try {
        const std::uint64_t before = stream.lines_written();
        AppendDropLine(stream, unreported_);
        stream.Flush();
        if (stream.lines_written() > before) unreported_ = 0;
      } catch (const std::exception&) {
      }
      error = stream.error();
    }

    if (!error.empty()) {
      Failed(error);
    } else if (failing_) {
      failing_ = false;
      Report("writing " + path + " again; " + FormatInteger(dropped) +
             (dropped == 1 ? " entry" : " entries") + " lost");
    }
  }

 private:
  // Composes and writes the pass's lines, a piece at a time; each entry
  // is let go once its line is composed. True when the drain budget ran
  // out first.
  bool WriteLines(LogStream& stream, std::vector<JsonValue>& entries,
                  std::uint64_t dropped) {
    if (PastDeadline()) return true;
    const std::vector<std::string> params =
        GetFormatParams(config_->log_format);
    if (dropped > 0) AppendDropLine(stream, dropped);
    for (JsonValue& entry : entries) {
      if (stream.PieceFull()) {
        stream.Flush();
        if (stream.Failed()) return false;
        if (PastDeadline()) return true;
      }
      AppendLogLine(stream.text(), config_->log_format, params, entry);
      stream.EndLine();
      entry = JsonValue();
    }
    stream.Flush();
    return false;
  }

  static void AppendDropLine(LogStream& stream, std::uint64_t count) {
    std::string& text = stream.text();
    text += FormatLogTime(LogTime::Now());
    text += " LOG DROPPED ";
    text += FormatInteger(static_cast<std::int64_t>(count));
    text += " ENTRIES";
    stream.EndLine();
  }

  // Once the thread is told to stop, the time left of the drain budget
  // counts from the first look.
  bool PastDeadline() {
    if (!StopRequested()) return false;
    const auto now = config_->calls.now();
    if (!deadline_) deadline_ = now + config_->drain_budget;
    return now >= *deadline_;
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

 public:
  // Entries taken out of the queue whose lines never reached the file (a
  // failed write, the drain budget at stop), since the start.
  std::atomic<std::uint64_t> lost_total_{0};

 private:
  // From the first failed pass until one succeeds.
  bool failing_ = false;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
};

LogFileProvider::LogFileProvider(std::optional<LogFileConfig> config,
                                 std::size_t capacity,
                                 std::size_t byte_capacity)
    : keys_read_(LogKeysNamed(GetFormatParams(
          config ? config->log_format : std::string(kDefaultApiLogFormat)))),
      writer_(std::make_unique<Writer>(std::move(config), capacity,
                                       byte_capacity)) {}

LogFileProvider::~LogFileProvider() = default;

void LogFileProvider::DoReceiveLogCache(const std::vector<JsonValue>& batch) {
  writer_->NewLogs(batch);
}

std::uint64_t LogFileProvider::DroppedTotal() const {
  return writer_->DroppedTotal();
}

std::uint64_t LogFileProvider::LostTotal() const {
  return writer_->lost_total_.load(std::memory_order_relaxed);
}

void LogFileProvider::ReportDropped(std::uint64_t count) {
  writer_->AddDropped(count);
}

std::shared_ptr<ApiLoggerProvider> LogFileProvider::New(
    std::optional<LogFileConfig> config) {
  return std::make_shared<LogFileProvider>(std::move(config));
}

}  // namespace norvessa
