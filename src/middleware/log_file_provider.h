#ifndef NORVESSA_MIDDLEWARE_LOG_FILE_PROVIDER_H_
#define NORVESSA_MIDDLEWARE_LOG_FILE_PROVIDER_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "middleware/api_logger_manager.h"
#include "middleware/api_logger_thread.h"
#include "middleware/stop_budget.h"

namespace norvessa {

// ${request_clientip} [${time}] "${request_method} ${request_path_info}"
// ${response_status}
inline constexpr std::string_view kDefaultApiLogFormat =
    "${request_clientip} [${time}] \"${request_method} ${request_path_info}\" "
    "${response_status}";

// The most text a pass composes before writing it: a pass's memory is
// that of one piece, however many entries it writes.
inline constexpr std::size_t kLogPieceBytes = 256 * 1024;

// The file calls the writer makes, and its clock, the system's by
// default; a test puts in its own to make writes fail, fall short or take
// their time.
struct LogFileCalls {
  LogFileCalls();

  std::function<int(const char* path, int flags, mode_t mode)> open;
  std::function<ssize_t(int fd, const void* data, std::size_t size)> write;
  std::function<ssize_t(int fd, void* data, std::size_t size, off_t offset)>
      pread;
  std::function<int(int fd, struct stat* status)> fstat;
  std::function<int(int fd)> close;
  std::function<std::chrono::steady_clock::time_point()> now;
};

struct LogFileConfig {
  std::string log_format = std::string(kDefaultApiLogFormat);
  // The Logs folder beside the program; never created by the service.
  std::string dir = DefaultDir();
  LogFileCalls calls;
  // How long the writer may go on writing once it is told to stop.
  std::chrono::milliseconds drain_budget = kLogDrainBudget;
  std::size_t piece_bytes = kLogPieceBytes;
  // The least time between two passes while the writer runs.
  std::chrono::milliseconds pass_interval = ApiLoggerThread::kDefaultInterval;

  static std::string DefaultDir();
};

// The placeholder names of a pattern (${name}, ASCII letters, digits and
// underscores), in order, repeats kept.
std::vector<std::string> GetFormatParams(std::string_view pattern);

// One line of the log, filled in one pass over the pattern: every
// placeholder named in `params` whose name is a key of the entry gets its
// value, escaped as AppendLogEscaped does so that a value can never forge
// a line; other placeholders stay as they are, and inserted text is never
// read again.
std::string FormatLogLine(std::string_view pattern,
                          const std::vector<std::string>& params,
                          const JsonValue& entry);

// Appends the request log to Logs/LogsAPI_yyyy-mm-dd.log, one file per
// local day, on a writer thread of its own: each pass opens the file,
// appends its lines with CR LF, a piece of text at a time, and closes it.
// A failed pass (no folder, disk full) loses only its own lines, and
// counts them: the first pass that succeeds again starts with "LOG DROPPED
// n ENTRIES". A pass never starts inside a line that an earlier write left
// unfinished.
class LogFileProvider : public ApiLoggerProvider {
 public:
  // Without a configuration the defaults apply.
  explicit LogFileProvider(
      std::optional<LogFileConfig> config = std::nullopt,
      std::size_t capacity = ApiLoggerThread::kDefaultCapacity,
      std::size_t byte_capacity = ApiLoggerThread::kDefaultByteCapacity);
  // The writer makes its last pass, which gives up once the drain budget
  // has run out: the entries left unwritten are told by a last LOG
  // DROPPED line.
  ~LogFileProvider() override;

  void DoReceiveLogCache(const std::vector<JsonValue>& batch) override;
  void ReportDropped(std::uint64_t count) override;
  std::uint64_t DroppedTotal() const override;
  std::uint64_t LostTotal() const override;
  // The keys the line's pattern names.
  LogKeySet KeysRead() const override { return keys_read_; }

  static std::shared_ptr<ApiLoggerProvider> New(
      std::optional<LogFileConfig> config = std::nullopt);

 private:
  class Writer;
  LogKeySet keys_read_;
  std::unique_ptr<Writer> writer_;
};

}  // namespace norvessa

#endif  // NORVESSA_MIDDLEWARE_LOG_FILE_PROVIDER_H_
