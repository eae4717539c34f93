// Dataset export to JSON text and JSON import into an in-memory table.

#include <benchmark/benchmark.h>

#include <string>

#include "json/json_text.h"
#include "serialize/dataset_export.h"
#include "serialize/dataset_import.h"
#include "serialize/mem_table.h"

namespace norvessa {
namespace {

// 1,000 rows of 30 columns: ids, names, amounts and dates, as the product
// and order lists carry them.
void FillTable(MemTable& t) {
  for (int c = 0; c < 30; ++c) {
    const std::string name = "Coluna" + std::to_string(c);
    switch (c % 5) {
      case 0:
        t.AddFieldDef(name, FieldType::kInteger);
        break;
      case 1:
        t.AddFieldDef(name, FieldType::kString, 60);
        break;
      case 2:
        t.AddFieldDef(name, FieldType::kFMTBcd);
        break;
      case 3:
        t.AddFieldDef(name, FieldType::kTimeStamp);
        break;
      default:
        t.AddFieldDef(name, FieldType::kString, 20);
        break;
    }
  }
  t.Open();
  for (int r = 0; r < 1000; ++r) {
    t.Append();
    for (const auto& f : t.Fields()) {
      switch (f->Index() % 5) {
        case 0:
          f->SetAsInteger(r * 31 + static_cast<int>(f->Index()));
          break;
        case 1:
          f->SetAsString("Camiseta Algod\xC3\xA3o " + std::to_string(r));
          break;
        case 2:
          f->SetAsFloat(49.9 + r);
          break;
        case 3:
          f->SetAsDateTime(DateTime::FromParts(2024, 3, 5, 14, 5, 9, 123));
          break;
        default:
          if (r % 3) f->SetAsString("REF/" + std::to_string(r));
          break;
      }
    }
    t.Post();
  }
}

void BM_ExportThousandRowsThirtyColumns(benchmark::State& state) {
  MemTable table;
  FillTable(table);
  for (auto _ : state) {
    benchmark::DoNotOptimize(ToJsonText(ToJSONArray(table)));
  }
  state.SetItemsProcessed(state.iterations() * 1000);  // rows
}
BENCHMARK(BM_ExportThousandRowsThirtyColumns)->Unit(benchmark::kMillisecond);

void BM_ImportHundredKeyObject(benchmark::State& state) {
  std::string body = "{";
  for (int k = 0; k < 100; ++k) {
    if (k > 0) body += ',';
    body += "\"chave" + std::to_string(k) + "\":";
    body += k % 2 ? "\"valor " + std::to_string(k) + "\"" : std::to_string(k);
  }
  body += '}';
  for (auto _ : state) {
    MemTable table;
    LoadFromJSON(table, body);
    benchmark::DoNotOptimize(table.RecordCount());
  }
}
BENCHMARK(BM_ImportHundredKeyObject);

// A body with many keys, up to the most an object may have: each key must
// cost the same whatever their number.
void BM_ImportManyKeys(benchmark::State& state) {
  const int keys = static_cast<int>(state.range(0));
  std::string body = "{";
  for (int k = 0; k < keys; ++k) {
    if (k > 0) body += ',';
    body += "\"k" + std::to_string(k) + "\":" + std::to_string(k);
  }
  body += '}';
  for (auto _ : state) {
    MemTable table;
    LoadFromJSON(table, body);
    benchmark::DoNotOptimize(table.RecordCount());
  }
  state.SetItemsProcessed(state.iterations() * keys);
}
BENCHMARK(BM_ImportManyKeys)
    ->Arg(100)
    ->Arg(1'000)
    ->Arg(kMaxObjectKeys)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace norvessa

BENCHMARK_MAIN();
