#include "json/json_text.h"

#include <cstddef>
#include <vector>

#include "text/utf8.h"

namespace norvessa {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void AppendUnitEscape(std::string& out, unsigned unit) {
  char buf[6] = {'\\',
                 'u',
                 kHex[(unit >> 12) & 0xF],
                 kHex[(unit >> 8) & 0xF],
                 kHex[(unit >> 4) & 0xF],
                 kHex[unit & 0xF]};
  out.append(buf, sizeof buf);
}

// Printable ASCII (and 127) except the three characters that take a
// backslash pass through unchanged.
bool IsPlain(unsigned char c) {
  return c >= 32 && c < 128 && c != '"' && c != '\\' && c != '/';
}

void AppendScalar(std::string& out, const JsonValue& v) {
  switch (v.kind()) {
    case JsonKind::kNull:
      out += "null";
      break;
    case JsonKind::kFalse:
      out += "false";
      break;
    case JsonKind::kTrue:
      out += "true";
      break;
    case JsonKind::kNumber:
      out += v.text();
      break;
    case JsonKind::kString:
      if (v.IsNullString()) {
        out += "null";
      } else {
        AppendJsonString(out, v.text());
      }
      break;
    case JsonKind::kArray:
    case JsonKind::kObject:
      break;
  }
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view s) {
  out.push_back('"');
  std::size_t pos = 0;
  while (pos < s.size()) {
    std::size_t run = pos;
    while (run < s.size() && IsPlain(static_cast<unsigned char>(s[run]))) {
      ++run;
    }
    out.append(s.data() + pos, run - pos);
    pos = run;
    if (pos >= s.size()) break;
    const auto c = static_cast<unsigned char>(s[pos]);
    if (c < 128) {
      ++pos;
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '/':
          out += "\\/";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\f':
          out += "\\f";
          break;
        case '\r':
          out += "\\r";
          break;
        default:
          AppendUnitEscape(out, c);
      }
      continue;
    }
    const char32_t cp = NextCodePoint(s, pos);
    if (cp < 0x10000) {
      AppendUnitEscape(out, static_cast<unsigned>(cp));
    } else {
      const char32_t v = cp - 0x10000;
      AppendUnitEscape(out, 0xD800 + static_cast<unsigned>(v >> 10));
      AppendUnitEscape(out, 0xDC00 + static_cast<unsigned>(v & 0x3FF));
    }
  }
  out.push_back('"');
}

void AppendJsonText(std::string& out, const JsonValue& value) {
  // An explicit stack keeps deep values off the call stack.
  struct Frame {
    const JsonValue* container;
    std::size_t next;
  };
  std::vector<Frame> stack;

  auto open = [&](const JsonValue& v) {
    if (v.IsArray()) {
      out.push_back('[');
      stack.push_back({&v, 0});
    } else if (v.IsObject()) {
      out.push_back('{');
      stack.push_back({&v, 0});
    } else {
      AppendScalar(out, v);
    }
  };

  open(value);
  while (!stack.empty()) {
    Frame& top = stack.back();
    const JsonValue& c = *top.container;
    if (top.next >= c.size()) {
      out.push_back(c.IsArray() ? ']' : '}');
      stack.pop_back();
      continue;
    }
    if (top.next > 0) out.push_back(',');
    const std::size_t i = top.next++;
    if (c.IsArray()) {
      open(c.elements()[i]);
    } else {
      const JsonMember& m = c.members()[i];
      AppendJsonString(out, m.key);
      out.push_back(':');
      open(m.value);
    }
  }
}

std::string ToJsonText(const JsonValue& value) {
  std::string out;
  AppendJsonText(out, value);
  return out;
}

}  // namespace norvessa
