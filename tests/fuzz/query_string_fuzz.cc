// The request's text dictionaries: the query string, a url-encoded form
// body and the Cookie header, each from the same fuzzed bytes. Each gives
// the pairs of its pieces, or fails with the decoding error or "Duplicates
// not allowed" and keeps the pairs read before the failure.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "framework/api_request.h"
#include "framework/url_decode.h"
#include "fuzz_support.h"
#include "text/ascii.h"
#include "text/utf8.h"

namespace norvessa {
namespace {

enum class Outcome { kRead, kBadEscape, kDuplicate };

// Calls `piece` for every non-empty stretch between separators, until it
// returns a failure.
template <typename Fn>
Outcome EachPiece(std::string_view text, char separator, Fn piece) {
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(separator, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) {
      const Outcome o = piece(text.substr(start, end - start));
      if (o != Outcome::kRead) return o;
    }
    start = end + 1;
  }
  return Outcome::kRead;
}

std::optional<std::string> TryUrlDecode(std::string_view text) {
  try {
    return UrlDecode(text);
  } catch (const UrlDecodeError&) {
    return std::nullopt;
  }
}

// Runs one of the request's readers, which build their dictionary on the
// first call and keep it.
template <typename Read>
Outcome Run(Read read) {
  try {
    read();
  } catch (const UrlDecodeError&) {
    return Outcome::kBadEscape;
  } catch (const std::runtime_error& e) {
    fuzz::Require(std::string_view(e.what()) == "Duplicates not allowed",
                  "the only other failure is a duplicate");
    return Outcome::kDuplicate;
  }
  return Outcome::kRead;
}

bool Same(const ApiDictionary& a, const ApiDictionary& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

void CheckQuery(std::string_view text) {
  ApiDictionary expected;
  const Outcome outcome = EachPiece(text, '&', [&](std::string_view piece) {
    const auto decoded = TryUrlDecode(piece);
    if (!decoded) return Outcome::kBadEscape;
    const std::size_t eq = decoded->find('=');
    std::string key = eq == std::string::npos ? "" : decoded->substr(0, eq);
    std::string value =
        eq == std::string::npos ? *decoded : decoded->substr(eq + 1);
    if (expected.ContainsKey(key)) return Outcome::kDuplicate;
    expected.Add(std::move(key), std::move(value));
    return Outcome::kRead;
  });
  RawRequest raw;
  raw.query = std::string(text);
  ApiRequest request(raw);
  fuzz::Require(Run([&] { request.Query(); }) == outcome,
                "the query reads or fails as its pieces say");
  fuzz::Require(Same(request.Query(), expected),
                "the query holds the pairs read");
}

void CheckForm(std::string_view text) {
  ApiDictionary expected;
  const Outcome outcome = EachPiece(text, '&', [&](std::string_view piece) {
    const std::size_t eq = piece.find('=');
    const auto key = TryUrlDecode(piece.substr(0, eq));
    const auto value =
        TryUrlDecode(eq == std::string_view::npos ? "" : piece.substr(eq + 1));
    if (!key || !value) return Outcome::kBadEscape;
    expected.AddOrSetValue(AsciiLower(*key), *value);
    return Outcome::kRead;
  });
  RawRequest raw;
  raw.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
  raw.body = std::string(text);
  ApiRequest request(raw);
  fuzz::Require(Run([&] { request.ContentFields(); }) == outcome,
                "the form reads or fails as its pieces say");
  fuzz::Require(Same(request.ContentFields(), expected),
                "the form holds the pairs read, the last of a key winning");
}

void CheckCookie(std::string_view text) {
  ApiDictionary expected;
  const Outcome outcome = EachPiece(text, ';', [&](std::string_view piece) {
    piece = TrimBlanks(piece);
    if (piece.empty()) return Outcome::kRead;
    const std::size_t eq = piece.find('=');
    std::string key(piece.substr(0, eq));
    std::string value;
    if (eq != std::string_view::npos) {
      const std::string_view after = piece.substr(eq + 1);
      value = std::string(after.substr(0, after.find('=')));
    }
    if (expected.ContainsKey(key)) return Outcome::kDuplicate;
    expected.Add(std::move(key), std::move(value));
    return Outcome::kRead;
  });
  RawRequest raw;
  raw.headers = {{"Cookie", std::string(text)}};
  ApiRequest request(raw);
  fuzz::Require(Run([&] { request.Cookie(); }) == outcome,
                "the cookies read or fail as their pieces say");
  fuzz::Require(Same(request.Cookie(), expected),
                "the cookies hold the pairs read");
}

// A decoding error names the position of the "%" at fault.
void CheckDecodeError(std::string_view text) {
  try {
    fuzz::Require(IsValidUtf8(UrlDecode(text)), "a decoded text is UTF-8");
  } catch (const UrlDecodeError& e) {
    const std::string_view what = e.what();
    const std::size_t at = what.rfind("at position ");
    // The message quotes the two bytes after the "%"; a NUL among them
    // ends what() early.
    if (at == std::string_view::npos &&
        text.find('\0') != std::string_view::npos) {
      return;
    }
    fuzz::Require(at != std::string_view::npos, "the error names a position");
    const std::string digits(what.substr(at + 12));
    const std::size_t pos = std::stoul(digits);
    fuzz::Require(std::to_string(pos) == digits, "the position is a number");
    fuzz::Require(pos < text.size() && text[pos] == '%',
                  "the position is that of a %");
  }
}

}  // namespace
}  // namespace norvessa

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view text = norvessa::fuzz::AsText(data, size);
  norvessa::CheckQuery(text);
  norvessa::CheckForm(text);
  norvessa::CheckCookie(text);
  norvessa::CheckDecodeError(text);
  return 0;
}
