// The request logger's cost per request and the compression of a 64 KiB
// JSON answer.

#include <benchmark/benchmark.h>

#include <string>

#include "framework/api_request.h"
#include "framework/api_response.h"
#include "json/json_text.h"
#include "middleware/api_logger_manager.h"
#include "middleware/compression.h"
#include "middleware/log_entry.h"

namespace norvessa {
namespace {

RawRequest SampleRequest() {
  RawRequest raw;
  raw.method = "POST";
  raw.version = "HTTP/1.1";
  raw.raw_path = "/produtos";
  raw.path_info = "/produtos";
  raw.remote_addr = "192.168.0.23";
  raw.local_port = 9000;
  raw.body = R"({"inicio":0,"quantidadereg":30})";
  raw.headers = {{"Host", "192.168.0.10:9000"},
                 {"User-Agent", "NorvessaApp/3.2 (Android 14)"},
                 {"Accept", "application/json"},
                 {"Accept-Encoding", "gzip, deflate"},
                 {"Content-Type", "application/json"},
                 {"Connection", "close"}};
  return raw;
}

void BM_LogEntryBuildAndEnqueue(benchmark::State& state) {
  // A manager without providers: its thread takes the entries away.
  ApiLoggerManager manager;
  const RawRequest raw = SampleRequest();
  for (auto _ : state) {
    RawResponse out;
    ApiRequest req(raw);
    ApiResponse res(out);
    const LogTime before = LogTime::Now();
    manager.NewLog(BuildLogEntry(req, res, before, 3));
  }
}
BENCHMARK(BM_LogEntryBuildAndEnqueue);

void BM_LogEntryBuild(benchmark::State& state) {
  const RawRequest raw = SampleRequest();
  for (auto _ : state) {
    RawResponse out;
    ApiRequest req(raw);
    ApiResponse res(out);
    benchmark::DoNotOptimize(BuildLogEntry(req, res, LogTime::Now(), 3));
  }
}
BENCHMARK(BM_LogEntryBuild);

std::string JsonOf64KiB() {
  JsonValue rows = JsonValue::Array();
  std::string text;
  for (int i = 0; text.size() < 64 * 1024; ++i) {
    rows.Add(
        JsonValue::Object()
            .AddPair("idproduto", JsonValue::Number(1000 + i))
            .AddPair("produto", JsonValue::String(
                                    "Camiseta B\xC3\xA1sica Algod\xC3\xA3o " +
                                    std::to_string(i)))
            .AddPair("vlvenda", JsonValue::Number("49.9"))
            .AddPair("qtdestoque", JsonValue::Number(i % 37)));
    text = ToJsonText(rows);
  }
  return text;
}

void BM_Compress64KiB(benchmark::State& state) {
  const std::string text = JsonOf64KiB();
  const auto type = static_cast<CompressionType>(state.range(0));
  std::size_t out = 0;
  for (auto _ : state) {
    out = Compress(text, type).size();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(text.size()));
  state.counters["ratio"] = static_cast<double>(out) / text.size();
}
BENCHMARK(BM_Compress64KiB)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace norvessa

BENCHMARK_MAIN();
