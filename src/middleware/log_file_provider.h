#ifndef NORVESSA_MIDDLEWARE_LOG_FILE_PROVIDER_H_
#define NORVESSA_MIDDLEWARE_LOG_FILE_PROVIDER_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "middleware/api_logger_manager.h"
#include "middleware/api_logger_thread.h"

namespace norvessa {

// ${request_clientip} [${time}] "${request_method} ${request_path_info}"
// ${response_status}
inline constexpr std::string_view kDefaultApiLogFormat =
    "${request_clientip} [${time}] \"${request_method} ${request_path_info}\" "
    "${response_status}";

// The file calls the writer makes, the system's by default; a test puts
// in its own to make writes fail or fall short.
struct LogFileCalls {
  LogFileCalls();

  std::function<int(const char* path, int flags, mode_t mode)> open;
  std::function<ssize_t(int fd, const void* data, std::size_t size)> write;
  std::function<ssize_t(int fd, void* data, std::size_t size, off_t offset)>
      pread;
  std::function<int(int fd, struct stat* status)> fstat;
  std::function<int(int fd)> close;
};

struct LogFileConfig {
  std::string log_format = std::string(kDefaultApiLogFormat);
  // The Logs folder beside the program; never created by the service.
  std::string dir = DefaultDir();
  LogFileCalls calls;

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
// appends its lines with CR LF and closes it. A failed pass (no folder,
// disk full) loses only its own lines, and counts them: the first pass
// that succeeds again starts with "LOG DROPPED n ENTRIES". A pass never
// starts inside a line that an earlier write left unfinished.
class LogFileProvider : public ApiLoggerProvider {
 public:
  // Without a configuration the defaults apply.
  explicit LogFileProvider(
      std::optional<LogFileConfig> config = std::nullopt,
      std::size_t capacity = ApiLoggerThread::kDefaultCapacity);
  // The writer makes its last pass.
  ~LogFileProvider() override;

  void DoReceiveLogCache(const std::vector<JsonValue>& batch) override;
  void ReportDropped(std::uint64_t count) override;

  static std::shared_ptr<ApiLoggerProvider> New(
      std::optional<LogFileConfig> config = std::nullopt);

 private:
  class Writer;
  std::unique_ptr<Writer> writer_;
};

}  // namespace norvessa

#endif  // NORVESSA_MIDDLEWARE_LOG_FILE_PROVIDER_H_
