// The JSON text form of typical answers, and parsing of typical bodies.

#include <benchmark/benchmark.h>

#include <string>

#include "json/json_parser.h"
#include "json/json_text.h"

namespace norvessa {
namespace {

// A page of products as the products resource answers it.
JsonValue ProductPage(int rows) {
  JsonValue page = JsonValue::Array();
  for (int i = 0; i < rows; ++i) {
    JsonValue row = JsonValue::Object();
    row.AddPair("idproduto", JsonValue::Number(1000 + i))
        .AddPair("produto",
                 JsonValue::String("Camiseta Algod\xC3\xA3o B\xC3\xA1sica " +
                                   std::to_string(i)))
        .AddPair("referencia", JsonValue::String("REF/" + std::to_string(i)))
        .AddPair("unmed", JsonValue::String("UN"))
        .AddPair("preco", JsonValue::Number("49.9"))
        .AddPair("estoque", JsonValue::Number("12.5"))
        .AddPair("ativo", JsonValue::Bool(true))
        .AddPair("obs", JsonValue::Null())
        .AddPair("dtcadastro", JsonValue::String("2021-06-01 00:00:00.000"));
    page.Add(std::move(row));
  }
  return page;
}

void BM_JsonTextSmallObject(benchmark::State& state) {
  JsonValue v = JsonValue::Object();
  v.AddPair("Result", JsonValue::String("Nenhum Registro Encontrado!"));
  for (auto _ : state) benchmark::DoNotOptimize(ToJsonText(v));
}
BENCHMARK(BM_JsonTextSmallObject);

void BM_JsonTextProductPage(benchmark::State& state) {
  const JsonValue v = ProductPage(static_cast<int>(state.range(0)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = ToJsonText(v);
    bytes = text.size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(
      static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_JsonTextProductPage)->Arg(30)->Arg(3000);

void BM_JsonParseOrderBody(benchmark::State& state) {
  const std::string body =
      R"({"idcliente":"123","dtemissao":"09/12/2026","itens":[)"
      R"({"idproduto":"526","qtd":"1,5","preco":49.90},)"
      R"({"idproduto":"527","qtd":"2","preco":19.90}]})";
  for (auto _ : state) benchmark::DoNotOptimize(ParseJson(body));
}
BENCHMARK(BM_JsonParseOrderBody);

}  // namespace
}  // namespace norvessa

BENCHMARK_MAIN();
