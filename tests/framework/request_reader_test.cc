#include "framework/transport/request_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace norvessa::transport {
namespace {

using Kind = ReadOutcome::Kind;

// What the session would get feeding the bytes one at a time.
ReadOutcome ReadBytewise(std::string_view bytes,
                         const TransportOptions& options) {
  RequestReader reader(options);
  for (char c : bytes) {
    const auto stage = reader.Feed(std::string_view(&c, 1));
    if (stage == RequestReader::Stage::kError ||
        stage == RequestReader::Stage::kDone) {
      break;
    }
  }
  ReadOutcome outcome;
  if (reader.stage() == RequestReader::Stage::kDone) {
    outcome.kind = Kind::kRequest;
    outcome.request = reader.TakeRequest();
  } else if (reader.stage() == RequestReader::Stage::kError) {
    outcome.kind = Kind::kError;
    outcome.status = reader.error_status();
  }
  return outcome;
}

TEST(RequestReaderTest, OutcomesDoNotDependOnHowBytesArrive) {
  TransportOptions options;
  options.header_limit = 1024;
  options.body_limit = 64;
  const std::string long_target = "/" + std::string(600, 'a');
  const std::string post = "POST /p HTTP/1.1\r\nHost: x\r\n";
  struct Case {
    const char* name;
    std::string bytes;
    Kind kind;
    int status;        // kError
    const char* body;  // kRequest
  };
  const Case cases[] = {
      {"plain GET", "GET /a?b=1 HTTP/1.1\r\nHost: x\r\n\r\n", Kind::kRequest, 0,
       ""},
      {"body by length", post + "Content-Length: 5\r\n\r\nhello",
       Kind::kRequest, 0, "hello"},
      {"chunked body",
       post + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
       Kind::kRequest, 0, "hello"},
      {"chunked, any case and trailers",
       post + "Transfer-Encoding: Chunked\r\n\r\n3;x=y\r\nabc\r\n0\r\nT: "
              "v\r\n\r\n",
       Kind::kRequest, 0, "abc"},
      {"chunk extensions, quoted and not",
       post + "Transfer-Encoding: chunked\r\n\r\n3 ; a ; b=\"x;\\\"y\" ;c=d\r\n"
              "abc\r\n0\r\n\r\n",
       Kind::kRequest, 0, "abc"},
      {"chunk extension with an open quote",
       post + "Transfer-Encoding: chunked\r\n\r\n8;name=\"open\r\nabcdefgh",
       Kind::kError, 400, nullptr},
      {"chunk extension without a name",
       post + "Transfer-Encoding: chunked\r\n\r\n3;=x\r\nabc\r\n0\r\n\r\n",
       Kind::kError, 400, nullptr},
      {"header not ended", "GET /a HTTP/1.1\r\nHost: x\r\n", Kind::kNeedMore, 0,
       nullptr},
      {"body not all here", post + "Content-Length: 5\r\n\r\nhel",
       Kind::kNeedMore, 0, nullptr},
      {"long request line ended by a bare CR",
       "GET " + long_target + " HTTP/1.1\rHost: x\r\n", Kind::kError, 400,
       nullptr},
      {"field ended by a bare LF", "GET / HTTP/1.1\r\nHost: x\n", Kind::kError,
       400, nullptr},
      {"field ended by a bare CR", "GET / HTTP/1.1\r\nHost: x\rY: z\r\n",
       Kind::kError, 400, nullptr},
      {"chunk size ended by a bare LF",
       post + "Transfer-Encoding: chunked\r\n\r\n5\nhello\n", Kind::kError, 400,
       nullptr},
      {"chunk data ended by a bare LF",
       post + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\n0", Kind::kError,
       400, nullptr},
      {"trailer ended by a bare LF",
       post + "Transfer-Encoding: chunked\r\n\r\n0\r\nT: v\n", Kind::kError,
       400, nullptr},
      {"gzip", post + "Transfer-Encoding: gzip\r\n\r\nabc", Kind::kError, 400,
       nullptr},
      {"gzip with a length",
       post + "Transfer-Encoding: gzip\r\nContent-Length: 3\r\n\r\nabc",
       Kind::kError, 400, nullptr},
      {"chunked then gzip",
       post + "Transfer-Encoding: chunked, gzip\r\n\r\n0\r\n\r\n", Kind::kError,
       400, nullptr},
      {"gzip then chunked",
       post + "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n", Kind::kError,
       400, nullptr},
      {"chunked twice",
       post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: "
              "chunked\r\n\r\n0\r\n\r\n",
       Kind::kError, 400, nullptr},
      {"chunked with a parameter",
       post + "Transfer-Encoding: chunked;q=1\r\n\r\n0\r\n\r\n", Kind::kError,
       400, nullptr},
      {"empty coding", post + "Transfer-Encoding: \r\n\r\n", Kind::kError, 400,
       nullptr},
      {"chunked and a length",
       post +
           "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n0\r\n\r\n",
       Kind::kError, 400, nullptr},
      {"chunked in HTTP/1.0",
       "POST /p HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       Kind::kError, 400, nullptr},
      {"unknown coding", post + "Transfer-Encoding: foo\r\n\r\nabc",
       Kind::kError, 501, nullptr},
      {"unknown coding before chunked",
       post + "Transfer-Encoding: foo, chunked\r\n\r\n0\r\n\r\n", Kind::kError,
       501, nullptr},
      {"unknown coding in a second field",
       post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: "
              "foo\r\n\r\n0\r\n\r\n",
       Kind::kError, 501, nullptr},
      {"header past its limit",
       "GET /" + std::string(2000, 'a') + " HTTP/1.1\r\n\r\n", Kind::kError,
       431, nullptr},
      {"declared body past its limit", post + "Content-Length: 65\r\n\r\n",
       Kind::kError, 413, nullptr},
      {"chunked body past its limit",
       post + "Transfer-Encoding: chunked\r\n\r\n41\r\n", Kind::kError, 413,
       nullptr},
      {"chunk past the limit, then a bare LF",
       post + "Transfer-Encoding: chunked\r\n\r\n41\r\n" +
           std::string(65, 'x') + "\r\n0\n",
       Kind::kError, 413, nullptr},
      {"garbage", "HELLO\r\n\r\n", Kind::kError, 400, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ReadOutcome whole = ReadHttpRequest(c.bytes, options);
    EXPECT_EQ(whole.kind, c.kind);
    EXPECT_EQ(whole.status, c.status);
    if (c.body != nullptr) EXPECT_EQ(whole.request.body, c.body);
    const ReadOutcome bytewise = ReadBytewise(c.bytes, options);
    EXPECT_EQ(bytewise.kind, whole.kind);
    EXPECT_EQ(bytewise.status, whole.status);
    EXPECT_EQ(bytewise.request.body, whole.request.body);
  }
}

TEST(RequestReaderTest, TheRequestIsWhatTheChainGets) {
  const ReadOutcome r = ReadHttpRequest(
      "post /a%20b/c?x=%20&y HTTP/1.1\r\nHost: h:9000\r\n"
      "X-HTTP-Method-Override: delete\r\nContent-Length: 2\r\n\r\nokGET",
      TransportOptions{});
  ASSERT_EQ(r.kind, Kind::kRequest);
  EXPECT_EQ(r.request.method, "DELETE");
  EXPECT_EQ(r.request.version, "HTTP/1.1");
  EXPECT_EQ(r.request.raw_path, "/a%20b/c");
  EXPECT_EQ(r.request.path_info, "/a b/c");
  EXPECT_EQ(r.request.query, "x=%20&y");
  EXPECT_EQ(r.request.Header("host"), "h:9000");
  EXPECT_EQ(r.request.body, "ok");
  EXPECT_EQ(r.request.remote_addr, "");
}

}  // namespace
}  // namespace norvessa::transport
