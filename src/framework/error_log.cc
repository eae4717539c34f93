#include "framework/error_log.h"

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>

#include "text/utf8.h"

namespace norvessa {

void AppendLogEscaped(std::string& out, std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  auto escape = [&out](unsigned char b) {
    out += "\\x";
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  };
  std::size_t pos = 0;
  while (pos < value.size()) {
    const auto u = static_cast<unsigned char>(value[pos]);
    if (u < 0x80) {
      if (u == '\r') {
        out += "\\r";
      } else if (u == '\n') {
        out += "\\n";
      } else if (u < 32 || u == 0x7F) {
        escape(u);
      } else {
        out += static_cast<char>(u);
      }
      ++pos;
      continue;
    }
    // A whole character, unless it is a C1 control or the bytes are not
    // UTF-8 (then every byte is written as \xNN).
    const std::size_t start = pos;
    const char32_t cp = NextCodePoint(value, pos);
    const std::string_view bytes = value.substr(start, pos - start);
    const bool malformed =
        cp == kReplacementCharacter && bytes != "\xEF\xBF\xBD";
    if (malformed || (cp >= 0x80 && cp <= 0x9F)) {
      for (char b : bytes) escape(static_cast<unsigned char>(b));
    } else {
      out.append(bytes);
    }
  }
}

namespace {

// One write call, so lines from concurrent requests never interleave.
void WriteLine(const std::string& line) {
  const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

// Causes already told within the last second, by message: while the
// database is away every request fails with the same one, and stderr gets
// one line for them with a count instead of thousands.
class RecentCauses {
 public:
  static constexpr auto kWindow = std::chrono::seconds(1);
  // More different causes than this at once are not worth grouping.
  static constexpr std::size_t kMaxKept = 256;

  ~RecentCauses() { Flush(std::chrono::steady_clock::time_point::max()); }

  // True when the line is to be written now; false when it only counts.
  bool Admit(const std::string& message, const std::string& line) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    FlushLocked(now);
    const auto it = recent_.find(message);
    if (it != recent_.end()) {
      ++it->second.repeats;
      it->second.last_line = line;
      return false;
    }
    if (recent_.size() >= kMaxKept) FlushLocked(now + kWindow);
    recent_.emplace(message, Recent{now, 0, {}});
    return true;
  }

  void Flush(std::chrono::steady_clock::time_point now) {
    std::lock_guard lock(mutex_);
    FlushLocked(now);
  }

 private:
  struct Recent {
    std::chrono::steady_clock::time_point since;
    std::uint64_t repeats = 0;
    std::string last_line;  // the latest of the repeats, newline included
  };

  // Ends every window older than a second, with its count.
  void FlushLocked(std::chrono::steady_clock::time_point now) {
    for (auto it = recent_.begin(); it != recent_.end();) {
      if (now - it->second.since < kWindow) {
        ++it;
        continue;
      }
      if (it->second.repeats > 0) {
        std::string line = it->second.last_line;
        line.pop_back();
        line += " (" + std::to_string(it->second.repeats) +
                (it->second.repeats == 1 ? " more time" : " more times") +
                " within 1 s)\n";
        WriteLine(line);
      }
      it = recent_.erase(it);
    }
  }

  std::mutex mutex_;
  std::unordered_map<std::string, Recent> recent_;
};

RecentCauses& Causes() {
  static RecentCauses causes;
  return causes;
}

}  // namespace

void LogCause(std::string_view method, std::string_view path,
              std::string_view message) {
  std::string line;
  line.reserve(method.size() + path.size() + message.size() + 8);
  AppendLogEscaped(line, method);
  line += ' ';
  AppendLogEscaped(line, path);
  line += ": ";
  AppendLogEscaped(line, message);
  line += '\n';
  if (Causes().Admit(std::string(message), line)) WriteLine(line);
}

void FlushLoggedCauses() {
  Causes().Flush(std::chrono::steady_clock::time_point::max());
}

}  // namespace norvessa
