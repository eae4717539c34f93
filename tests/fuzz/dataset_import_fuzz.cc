// A request body loaded into an in-memory table. The first byte picks the
// table: fields invented from the body (as most handlers do), fields of
// every kind, one field (bare values), or an order with its items. A load
// either fails with a dataset error or leaves rows that fit their fields
// and export as valid JSON.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "fuzz_support.h"
#include "json/json_parser.h"
#include "json/json_text.h"
#include "serialize/dataset_error.h"
#include "serialize/dataset_export.h"
#include "serialize/dataset_import.h"
#include "serialize/mem_table.h"
#include "text/utf8.h"

namespace norvessa {
namespace {

struct Tables {
  MemTable master{"mtPedido"};
  MemTable detail{"mtPedidoItens"};
};

void Define(std::uint8_t shape, Tables& t) {
  switch (shape % 4) {
    case 0:
      break;  // fields invented from the first object
    case 1:
      t.master.AddFieldDef("IdPedido", FieldType::kInteger);
      t.master.AddFieldDef("Cliente", FieldType::kString, 10);
      t.master.AddFieldDef("Obs", FieldType::kMemo);
      t.master.AddFieldDef("Quantidade", FieldType::kFloat);
      t.master.AddFieldDef("Preco", FieldType::kCurrency);
      t.master.AddFieldDef("Codigo", FieldType::kLargeint);
      t.master.AddFieldDef("Nivel", FieldType::kSmallint);
      t.master.AddFieldDef("Ativo", FieldType::kBoolean);
      t.master.AddFieldDef("DtEmissao", FieldType::kDate);
      t.master.AddFieldDef("DtAlteracao", FieldType::kDateTime);
      t.master.AddFieldDef("Hora", FieldType::kTime);
      t.master.AddFieldDef("Foto", FieldType::kBlob);
      break;
    case 2:
      t.master.AddFieldDef("Valor", FieldType::kString, 20);
      break;
    case 3:
      t.master.AddFieldDef("IdPedido", FieldType::kInteger);
      t.master.AddFieldDef("Cliente", FieldType::kString, 70);
      t.master.AddFieldDef("DtEmissao", FieldType::kDate);
      t.master.AddFieldDef("VlTotalPedido", FieldType::kFloat);
      t.detail.AddFieldDef("IdPedido", FieldType::kInteger);
      t.detail.AddFieldDef("Referencia", FieldType::kString, 20);
      t.detail.AddFieldDef("Quantidade", FieldType::kFloat);
      t.master.Open();
      t.detail.Open();
      t.detail.SetMasterSource(&t.master);
      t.detail.SetMasterFields("IdPedido");
      t.detail.SetDetailFields("IdPedido");
      t.detail.SetIndexFieldNames("IdPedido");
      break;
  }
}

// The value of a field holds what its kind stores, and text no more
// characters than the field's size.
void CheckField(const Field& field) {
  const FieldValue& v = field.Value();
  if (std::holds_alternative<std::monostate>(v)) return;
  switch (field.Kind()) {
    case FieldKind::kText: {
      const auto* text = std::get_if<std::string>(&v);
      fuzz::Require(text != nullptr, "a text field holds text");
      fuzz::Require(IsValidUtf8(*text), "a text field holds UTF-8");
      if (field.Size() > 0 && field.DataType() == FieldType::kString) {
        std::size_t count = 0;
        for (std::size_t pos = 0; pos < text->size(); ++count) {
          NextCodePoint(*text, pos);
        }
        fuzz::Require(count <= static_cast<std::size_t>(field.Size()),
                      "a text field keeps at most its size");
      }
      break;
    }
    case FieldKind::kInteger:
      fuzz::Require(std::holds_alternative<std::int64_t>(v),
                    "an integer field holds an integer");
      break;
    case FieldKind::kDecimal:
      fuzz::Require(std::holds_alternative<double>(v),
                    "a decimal field holds a double");
      break;
    case FieldKind::kBoolean:
      fuzz::Require(std::holds_alternative<bool>(v),
                    "a boolean field holds a boolean");
      break;
    case FieldKind::kDateTime:
      fuzz::Require(std::holds_alternative<DateTime>(v),
                    "a date field holds a date");
      break;
    case FieldKind::kLargeObject:
      fuzz::Require(std::holds_alternative<std::string>(v),
                    "a large object holds bytes");
      break;
    default:
      break;
  }
}

void CheckRows(MemTable& table) {
  if (!table.Active()) return;
  for (table.First(); !table.Eof(); table.Next()) {
    for (const auto& field : table.Fields()) CheckField(*field);
  }
}

// Both export paths give the same bytes, and those bytes are JSON.
void CheckExport(MemTable& table) {
  const std::string array_text = ToJSONArrayText(table);
  fuzz::Require(array_text == ToJsonText(ToJSONArray(table)),
                "both array exports agree");
  fuzz::Require(ParseJson(array_text).has_value(), "the array export is JSON");
  const std::string object_text = ToJSONObjectText(table);
  fuzz::Require(object_text == ToJsonText(ToJSONObject(table)),
                "both object exports agree");
  fuzz::Require(ParseJson(object_text).has_value(),
                "the object export is JSON");
}

}  // namespace
}  // namespace norvessa

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace norvessa;
  if (size == 0) return 0;
  Tables tables;
  Define(data[0], tables);
  try {
    LoadFromJSON(tables.master, fuzz::AsText(data + 1, size - 1));
  } catch (const DataSetJsonException&) {
    return 0;
  } catch (const ConvertError&) {
    return 0;
  } catch (const DataSetError&) {
    return 0;
  }
  CheckRows(tables.master);
  CheckExport(tables.master);
  if (tables.detail.MasterSource() != nullptr) {
    CheckRows(tables.detail);
    CheckExport(tables.detail);
  }
  return 0;
}
