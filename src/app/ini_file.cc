#include "app/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "app/detailed_error.h"
#include "text/ascii.h"
#include "text/utf8.h"

namespace norvessa {
namespace {

constexpr std::size_t kMaxValueChars = 2047;
constexpr std::string_view kBom = "\xEF\xBB\xBF";

struct Line {
  std::string text;    // without its line ending
  std::string ending;  // "\r\n", "\n" or "" for the last line
};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
    s.remove_suffix(1);
  }
  return s;
}

bool ReadFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buf;
  buf << in.rdbuf();
  out = buf.str();
  return true;
}

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) {
      lines.push_back({std::string(text.substr(start)), ""});
      break;
    }
    std::size_t end = nl;
    std::string ending = "\n";
    if (end > start && text[end - 1] == '\r') {
      --end;
      ending = "\r\n";
    }
    lines.push_back({std::string(text.substr(start, end - start)), ending});
    start = nl + 1;
  }
  return lines;
}

enum class Kind { kBlank, kComment, kSection, kPair, kOther };

struct Parsed {
  Kind kind;
  std::string_view name;   // section or key
  std::string_view value;  // for pairs
};

Parsed Parse(std::string_view line) {
  const std::string_view t = Trim(line);
  if (t.empty()) return {Kind::kBlank, {}, {}};
  if (t.front() == ';' || t.front() == '#') return {Kind::kComment, {}, {}};
  if (t.front() == '[') {
    const std::size_t close = t.find(']');
    if (close != std::string_view::npos) {
      return {Kind::kSection, Trim(t.substr(1, close - 1)), {}};
    }
    return {Kind::kOther, {}, {}};
  }
  const std::size_t eq = t.find('=');
  if (eq == std::string_view::npos) return {Kind::kOther, {}, {}};
  return {Kind::kPair, Trim(t.substr(0, eq)), Trim(t.substr(eq + 1))};
}

std::string Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') &&
      v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  // At most 2047 characters.
  std::size_t pos = 0;
  for (std::size_t n = 0; n < kMaxValueChars && pos < v.size(); ++n) {
    NextCodePoint(v, pos);
  }
  return std::string(v.substr(0, pos));
}

// "Unable to write to <path>", with the step that failed and the system's
// reason for the details.
[[noreturn]] void Unwritable(const std::string& path, const char* step,
                             int error) {
  throw DetailedError("Unable to write to " + path,
                      path + ": " + step + ": " + std::strerror(error));
}

void WriteAll(int fd, const std::string& data, const std::string& path) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      Unwritable(path, "write", errno);
    }
    done += static_cast<std::size_t>(n);
  }
}

// Rewrites the file itself: a link's target, or a file whose owner a
// replacement could not keep. Not atomic, but the file is a few lines.
void StoreInPlace(const std::string& path, const std::string& data) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) Unwritable(path, "open for writing", errno);
  try {
    WriteAll(fd, data, path);
    if (::ftruncate(fd, static_cast<off_t>(data.size())) != 0) {
      Unwritable(path, "truncate", errno);
    }
    if (::fsync(fd) != 0) Unwritable(path, "fsync", errno);
  } catch (...) {
    ::close(fd);
    throw;
  }
  if (::close(fd) != 0) Unwritable(path, "close", errno);
}

// A temporary file beside the original, renamed over it, with the
// original's mode and owner. False when the owner cannot be kept or the
// folder takes no new file: the caller then writes in place.
bool StoreByReplacing(const std::string& path, const std::string& data,
                      const struct stat* original) {
  const std::string temp = path + ".tmp-" + std::to_string(::getpid());
  const int fd =
      ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (original != nullptr && (errno == EACCES || errno == EPERM ||
                                errno == EROFS || errno == ENOSPC)) {
      return false;
    }
    Unwritable(path, "create a temporary file", errno);
  }
  try {
    if (original != nullptr) {
      if ((original->st_uid != ::geteuid() ||
           original->st_gid != ::getegid()) &&
          ::fchown(fd, original->st_uid, original->st_gid) != 0) {
        // Only root may give a file away: another user's file (copied in
        // with sudo, say) is rewritten in place instead.
        if (errno != EPERM) Unwritable(path, "keep the owner", errno);
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
      }
      if (::fchmod(fd, original->st_mode & 07777) != 0) {
        Unwritable(path, "keep the mode", errno);
      }
    }
    WriteAll(fd, data, path);
    if (::fsync(fd) != 0) Unwritable(path, "fsync", errno);
  } catch (...) {
    ::close(fd);
    ::unlink(temp.c_str());
    throw;
  }
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    Unwritable(path, "close", error);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    Unwritable(path, "rename the temporary file over it", error);
  }
  return true;
}

void StoreFile(const std::string& path, const std::string& data) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno != ENOENT) Unwritable(path, "stat", errno);
    StoreByReplacing(path, data, nullptr);
    return;
  }
  // A link stays a link: its target is rewritten in place.
  if (S_ISLNK(info.st_mode) || !StoreByReplacing(path, data, &info)) {
    StoreInPlace(path, data);
  }
}

}  // namespace

std::string ReadIniString(const std::string& path, std::string_view section,
                          std::string_view key,
                          std::string_view default_value) {
  std::string text;
  if (!ReadFile(path, text)) return std::string(default_value);
  std::string_view body = text;
  if (body.substr(0, kBom.size()) == kBom) body.remove_prefix(kBom.size());
  bool in_section = false;
  bool section_seen = false;
  for (const Line& line : SplitLines(body)) {
    const Parsed p = Parse(line.text);
    if (p.kind == Kind::kSection) {
      if (in_section) break;  // the first section of that name wins
      in_section = !section_seen && EqualsIgnoreCase(p.name, section);
      section_seen = section_seen || in_section;
    } else if (in_section && p.kind == Kind::kPair &&
               EqualsIgnoreCase(p.name, key)) {
      return Unquote(p.value);
    }
  }
  return std::string(default_value);
}

void WriteIniString(const std::string& path, std::string_view section,
                    std::string_view key, std::string_view value) {
  std::string text;
  ReadFile(path, text);
  std::string bom;
  std::string_view body = text;
  if (body.substr(0, kBom.size()) == kBom) {
    bom = std::string(kBom);
    body.remove_prefix(kBom.size());
  }
  std::vector<Line> lines = SplitLines(body);
  // A value is one line.
  std::string clean;
  for (char c : value) clean += (c == '\r' || c == '\n') ? ' ' : c;
  const std::string ending =
      text.find("\r\n") != std::string::npos || text.empty() ? "\r\n" : "\n";

  std::size_t section_line = lines.size();
  std::size_t last_in_section = lines.size();
  std::size_t key_line = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Parsed p = Parse(lines[i].text);
    if (p.kind == Kind::kSection) {
      if (section_line != lines.size()) break;
      if (EqualsIgnoreCase(p.name, section)) {
        section_line = i;
        last_in_section = i;
      }
      continue;
    }
    if (section_line == lines.size()) continue;
    if (p.kind != Kind::kBlank) last_in_section = i;
    if (p.kind == Kind::kPair && EqualsIgnoreCase(p.name, key)) {
      key_line = i;
      break;
    }
  }

  if (key_line != lines.size()) {
    // Keep the key as it is spelled in the file.
    const Parsed p = Parse(lines[key_line].text);
    lines[key_line].text = std::string(p.name) + "=" + clean;
  } else if (section_line != lines.size()) {
    if (lines[last_in_section].ending.empty()) {
      lines[last_in_section].ending = ending;
    }
    lines.insert(
        lines.begin() + static_cast<std::ptrdiff_t>(last_in_section + 1),
        Line{std::string(key) + "=" + clean, ending});
  } else {
    if (!lines.empty() && lines.back().ending.empty()) {
      lines.back().ending = ending;
    }
    lines.push_back({"[" + std::string(section) + "]", ending});
    lines.push_back({std::string(key) + "=" + clean, ending});
  }
  std::string out = bom;
  for (const Line& l : lines) out += l.text + l.ending;
  StoreFile(path, out);
}

}  // namespace norvessa
