#include "middleware/compression.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <thread>
#include <vector>

#include "framework/api_core.h"
#include "framework/api_request.h"
#include "framework/api_response.h"
#include "framework/dispatch_bridge.h"
#include "json/json_text.h"
#include "middleware/json_body.h"
#include "support/http_client.h"
#include "support/test_server.h"

namespace norvessa {
namespace {

std::string Inflate(const std::string& data, int window_bits) {
  z_stream s{};
  if (inflateInit2(&s, window_bits) != Z_OK) return "inflateInit2 failed";
  std::string out;
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  s.avail_in = static_cast<uInt>(data.size());
  char buf[16384];
  int rc = Z_OK;
  while (rc == Z_OK) {
    s.next_out = reinterpret_cast<Bytef*>(buf);
    s.avail_out = sizeof buf;
    rc = inflate(&s, Z_NO_FLUSH);
    out.append(buf, sizeof buf - s.avail_out);
  }
  inflateEnd(&s);
  return rc == Z_STREAM_END ? out : "inflate failed";
}

// A JSON array whose text is exactly `size` bytes.
JsonValue ArrayOfTextSize(std::size_t size) {
  // ["xxx...x"] is the string plus 4 bytes.
  return JsonValue::Array().Add(JsonValue::String(std::string(size - 4, 'x')));
}

RawResponse Exchange(const std::string& accept, JsonValue content,
                     bool as_text = false) {
  ApiCore core;
  core.Use(Compression(1024)).Use(JsonBody());
  core.Get("/x",
           [&](ApiRequest&, ApiResponse& res, const std::function<void()>&) {
             if (as_text) {
               res.Send(std::string(5000, 't'));
             } else {
               res.Send(content);
             }
           });
  RawRequest raw;
  raw.method = "GET";
  raw.raw_path = "/x";
  if (!accept.empty()) raw.headers.emplace_back("Accept-Encoding", accept);
  RawResponse out;
  DispatchRequest(core, raw, out);
  return out;
}

TEST(CompressionTest, ChoosesTheEncodingAndKeepsTheThreshold) {
  struct Case {
    const char* accept;
    std::size_t size;
    const char* encoding;  // "" for none
  };
  const Case cases[] = {
      {"gzip, deflate", 5000, "deflate"},
      {"deflate;q=0, gzip", 5000, "deflate"},  // quality values are not read
      {"gzip", 5000, "gzip"},
      {"GZIP", 5000, "gzip"},
      {"x-gzip", 5000, "gzip"},
      {"br", 5000, ""},
      {"identity", 5000, ""},
      {"", 5000, ""},
      {"   ", 5000, ""},
      {"gzip", 1024, ""},
      {"gzip", 1025, "gzip"},
      {"deflate", 1025, "deflate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.accept) + " " + std::to_string(c.size));
    const JsonValue content = ArrayOfTextSize(c.size);
    const std::string text = "[\"" + std::string(c.size - 4, 'x') + "\"]";
    const RawResponse out = Exchange(c.accept, content);
    EXPECT_EQ(out.content_encoding, c.encoding);
    EXPECT_EQ(out.content_type, "application/json; charset=UTF-8");
    const std::string body = out.content_stream.value_or(*out.content);
    if (std::string(c.encoding) == "deflate") {
      EXPECT_EQ(Inflate(body, -15), text);
      EXPECT_EQ(out.content, "");
    } else if (std::string(c.encoding) == "gzip") {
      EXPECT_EQ(Inflate(body, 31), text);
    } else {
      EXPECT_EQ(body, text);
    }
  }
}

TEST(CompressionTest, TextAnswersAreNeverCompressed) {
  const RawResponse out = Exchange("gzip, deflate", JsonValue(), true);
  EXPECT_EQ(out.content_encoding, "");
  EXPECT_FALSE(out.content_stream.has_value());
  EXPECT_EQ(out.content->size(), 5000u);
}

TEST(CompressionTest, AContentObjectReplacedAfterItWasWrittenIsWrittenAgain) {
  ApiCore core;
  core.Use(Compression(1024))
      .Use(
          [](ApiRequest&, ApiResponse& res, const std::function<void()>& next) {
            next();
            res.Send(ArrayOfTextSize(2000));  // after the JSON body middleware
          })
      .Use(JsonBody());
  core.Get("/x",
           [](ApiRequest&, ApiResponse& res, const std::function<void()>&) {
             res.Send(ArrayOfTextSize(3000));
           });
  RawRequest raw;
  raw.method = "GET";
  raw.raw_path = "/x";
  raw.headers.emplace_back("Accept-Encoding", "gzip");
  RawResponse out;
  DispatchRequest(core, raw, out);
  EXPECT_EQ(Inflate(*out.content_stream, 31),
            "[\"" + std::string(1996, 'x') + "\"]");
}

TEST(CompressionTest, LargeBodiesGoInPieces) {
  std::string big;
  for (long long i = 0; big.size() < 3 * 1024 * 1024; ++i) {
    big += std::to_string(i * 7919 % 100003) + ",";
  }
  for (CompressionType type :
       {CompressionType::kDeflate, CompressionType::kGzip}) {
    const std::string packed = Compress(big, type);
    EXPECT_LT(packed.size(), big.size() / 2);
    EXPECT_EQ(Inflate(packed, WindowBits(type)), big);
  }
  EXPECT_EQ(Inflate(Compress("", CompressionType::kGzip), 31), "");
}

// Answers asked for again come from the recently compressed ones: the
// bytes must be those of a fresh compression, also for large texts, texts
// that differ in one byte, both encodings, and more texts than are kept.
TEST(CompressionTest, RepeatedAnswersGetTheBytesOfAFreshCompression) {
  std::vector<JsonValue> answers;
  for (int i = 0; i < 40; ++i) {
    std::string text(i < 4 ? 3 * 1024 * 1024 : 2000 + i, 'a');
    text[text.size() / 2] = static_cast<char>('b' + i % 4);
    answers.push_back(JsonValue::Array().Add(JsonValue::String(text)));
  }
  for (int round = 0; round < 2; ++round) {
    for (const JsonValue& answer : answers) {
      for (const char* accept : {"deflate", "gzip"}) {
        const CompressionType type = std::string(accept) == "gzip"
                                         ? CompressionType::kGzip
                                         : CompressionType::kDeflate;
        const RawResponse out = Exchange(accept, answer);
        ASSERT_TRUE(out.content_stream.has_value());
        EXPECT_EQ(*out.content_stream, Compress(ToJsonText(answer), type));
        EXPECT_EQ(out.content_encoding, accept);
      }
    }
  }
}

// Many requests for one large answer at once: it is compressed once, and
// every request gets the same bytes.
TEST(CompressionTest, OneAnswerAskedForAtOnceIsCompressedOnce) {
  std::string text(3 * 1024 * 1024, 'c');
  text[12345] = 'z';
  const JsonValue answer = JsonValue::Array().Add(JsonValue::String(text));
  const std::string expected =
      Compress(ToJsonText(answer), CompressionType::kDeflate);
  const CompressionCounts before = CompressionCounters();
  constexpr int kRequests = 8;
  std::vector<std::string> got(kRequests);
  std::vector<std::thread> requests;
  for (int i = 0; i < kRequests; ++i) {
    requests.emplace_back([&, i] {
      got[static_cast<std::size_t>(i)] =
          Exchange("deflate", answer).content_stream.value_or("");
    });
  }
  for (std::thread& t : requests) t.join();
  for (const std::string& g : got) EXPECT_EQ(g, expected);
  const CompressionCounts after = CompressionCounters();
  EXPECT_EQ(after.cache_misses - before.cache_misses, 1u);
  EXPECT_EQ(after.cache_hits - before.cache_hits,
            static_cast<std::uint64_t>(kRequests - 1));
}

TEST(CompressionTest, OverTheWireTheBodyInflatesToTheExactText) {
  testing::TestServer server;
  server.api().Use(Compression(1024)).Use(JsonBody());
  const JsonValue content = ArrayOfTextSize(5000);
  server.api().Get(
      "/big", [&](ApiRequest&, ApiResponse& res, const std::function<void()>&) {
        res.Send(content);
      });
  server.Start();
  const std::string text = "[\"" + std::string(4996, 'x') + "\"]";
  for (const auto& [accept, bits] :
       {std::pair<std::string, int>{"gzip, deflate", -15}, {"gzip", 31}}) {
    const auto r = testing::Request(server.port(), "GET", "/big",
                                    {{"Accept-Encoding", accept}});
    EXPECT_EQ(r.Header("Content-Encoding"), bits < 0 ? "deflate" : "gzip");
    EXPECT_EQ(r.Header("Content-Type"), "application/json; charset=UTF-8");
    EXPECT_FALSE(r.HasHeader("Vary"));
    EXPECT_EQ(r.Header("Content-Length"), std::to_string(r.body.size()));
    EXPECT_EQ(Inflate(r.body, bits), text);
  }
}

}  // namespace
}  // namespace norvessa
