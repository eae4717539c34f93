#include "serialize/dataset_export.h"

#include <gtest/gtest.h>

#include <string>

#include "json/json_text.h"
#include "serialize/dataset_error.h"
#include "serialize/dataset_json_config.h"
#include "serialize/mem_table.h"

namespace norvessa {
namespace {

// The JSON text of the export; the text written straight from the rows
// must be the same, byte for byte.
std::string ArrayText(DataSet& dataset) {
  const std::string text = ToJsonText(ToJSONArray(dataset));
  EXPECT_EQ(ToJSONArrayText(dataset), text);
  return text;
}

std::string ObjectText(DataSet& dataset) {
  const std::string text = ToJsonText(ToJSONObject(dataset));
  EXPECT_EQ(ToJSONObjectText(dataset), text);
  return text;
}

TEST(DataSetExportTest, KeyRules) {
  const std::pair<const char*, const char*> fields[] = {
      {"IdUsuario", "idusuario"},
      {"NumCodBarra1", "numcodbarra1"},
      {"TAMANHOUNICO", "tamanhounico"},
      {"CFOP", "cfop"},
      {"ID_CIDADE", "idCidade"},
      {"VALOR__TOTAL", "valor_total"},
      {"Fim_", "fim"},
      {"_", "_"},
      {"Caf\xC3\xA9", "caf\xC3\xA9"},
  };
  for (const auto& [name, key] : fields) {
    EXPECT_EQ(FormatCaseNameDefinition(name), key) << name;
  }
  EXPECT_EQ(FormatDataSetName("mtPedidoItens"), "pedidoitens");
  EXPECT_EQ(FormatDataSetName("mtPedidoItensConferencia"),
            "pedidoitensconferencia");
  EXPECT_EQ(FormatDataSetName("qryItens"), "itens");
  EXPECT_EQ(FormatDataSetName("Itens"), "itens");
  EXPECT_EQ(FormatDataSetName("mt"), "");
  const std::pair<const char*, const char*> keys[] = {
      {"usuario", "USUARIO"},     {"quantidadereg", "QUANTIDADEREG"},
      {"idCidade", "ID_CIDADE"},  {"IdCidade", "ID_CIDADE"},
      {"id_cidade", "ID_CIDADE"},
  };
  for (const auto& [key, name] : keys) {
    EXPECT_EQ(JSONPairToFieldName(key), name) << key;
  }
}

// A table with the given fields and rows of values as text ("" is null).
class Table {
 public:
  Table(std::vector<std::pair<std::string, FieldType>> fields,
        std::vector<std::vector<std::string>> rows, std::string name = "Table")
      : table_(std::move(name)) {
    for (const auto& [n, t] : fields) table_.AddFieldDef(n, t, 100);
    table_.Open();
    for (const auto& row : rows) {
      table_.Append();
      for (std::size_t i = 0; i < row.size(); ++i) {
        if (!row[i].empty()) table_.Fields()[i]->SetAsString(row[i]);
      }
      table_.Post();
    }
    if (!rows.empty()) table_.First();
  }
  MemTable& operator*() { return table_; }

 private:
  MemTable table_;
};

TEST(DataSetExportTest, RowsBecomeArraysOfObjectsOrBareValues) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, FieldType>> fields;
    std::vector<std::vector<std::string>> rows;
    const char* json;
  };
  const Case cases[] = {
      {"empty", {{"A", FieldType::kString}}, {}, "[]"},
      {"one column gives bare values",
       {{"UnMed", FieldType::kString}},
       {{"KG"}, {"UN"}},
       R"(["KG","UN"])"},
      {"a null bare text is empty",
       {{"UnMed", FieldType::kString}},
       {{""}},
       R"([""])"},
      {"a null bare number is 0", {{"Qtd", FieldType::kFloat}}, {{""}}, "[0]"},
      {"bare auto-increment is text",
       {{"Id", FieldType::kAutoInc}},
       {{"7"}},
       R"(["7"])"},
      {"bare large integer goes through a double",
       {{"Id", FieldType::kLargeint}},
       {{"12345678901234567"}},
       "[1.23456789012346E16]"},
      {"two columns, one null",
       {{"IdCidade", FieldType::kInteger}, {"Cidade", FieldType::kString}},
       {{"1", "S\xC3\xA3o Paulo"}, {"2", ""}},
       R"([{"idcidade":1,"cidade":"S\u00E3o Paulo"},{"idcidade":2,"cidade":null}])"},
      {"decimals and dates",
       {{"Valor", FieldType::kFMTBcd},
        {"Inteiro", FieldType::kFloat},
        {"Dia", FieldType::kDate},
        {"Hora", FieldType::kTime},
        {"Quando", FieldType::kDateTime},
        {"Carimbo", FieldType::kTimeStamp},
        {"Ativo", FieldType::kBoolean},
        {"Grande", FieldType::kLargeint}},
       {{"5.5000", "10.0000", "05/03/2024", "14:05:09.123",
         "05/03/2024 14:05:09.123", "05/03/2024 14:05:09.123", "true",
         "12345678901234567"}},
       R"([{"valor":5.5,"inteiro":10,"dia":"2024-03-05","hora":"14:05:09.123",)"
       R"("quando":"2024-03-05 14:05:09.123","carimbo":"2024-03-05T14:05:09.123Z",)"
       R"("ativo":true,"grande":12345678901234567}])"},
      {"duplicate keys both appear",
       {{"ID_X", FieldType::kInteger}, {"idX", FieldType::kInteger}},
       {{"1", "2"}},
       R"([{"idX":1,"idx":2}])"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Table t(c.fields, c.rows);
    EXPECT_EQ(ArrayText(*t), c.json);
  }
}

TEST(DataSetExportTest, ObjectsHoldTheCurrentRowAndBlobsAreBase64) {
  MemTable t;
  t.AddFieldDef("Nome", FieldType::kString, 10);
  t.AddFieldDef("Foto", FieldType::kBlob);
  t.AddFieldDef("Oculto", FieldType::kString, 10);
  t.Open();
  EXPECT_EQ(ObjectText(t), "{}");
  for (const char* name : {"um", "dois"}) {
    t.Append();
    t.FieldByName("Nome").SetAsString(name);
    t.FieldByName("Foto").SetAsBytes("foobar");
    t.FieldByName("Oculto").SetAsString("x");
    t.Post();
  }
  t.FieldByName("Oculto").SetVisible(false);
  t.First();
  EXPECT_EQ(ObjectText(t), R"({"nome":"um","foto":"Zm9vYmFy"})");
  // The table returns to the row it was on.
  t.Next();
  ToJSONArray(t);
  EXPECT_EQ(t.FieldByName("Nome").AsString(), "dois");
  EXPECT_FALSE(t.Eof());
}

TEST(DataSetExportTest, UnknownTypesStopTheExport) {
  Table object({{"IdRaw", FieldType::kVarBytes}, {"B", FieldType::kString}},
               {{"", "x"}});
  (*object).Edit();
  (*object).Fields()[0]->SetAsBytes("zz");
  (*object).Post();
  try {
    ToJSONArray(*object);
    ADD_FAILURE();
  } catch (const DataSetJsonException& e) {
    EXPECT_STREQ(e.what(), "Cannot find type for field \"idraw\"");
  }
  try {
    ToJSONArrayText(*object);
    ADD_FAILURE();
  } catch (const DataSetJsonException& e) {
    EXPECT_STREQ(e.what(), "Cannot find type for field \"idraw\"");
  }
  Table bare({{"IdWord", FieldType::kWord}}, {{"3"}});
  try {
    ToJSONArray(*bare);
    ADD_FAILURE();
  } catch (const DataSetJsonException& e) {
    EXPECT_STREQ(e.what(), "Cannot find type for field \"IdWord\"");
  }
}

TEST(DataSetExportTest, DetailsNestUnderTheirKey) {
  MemTable pedido("mtPedido");
  pedido.AddFieldDef("IdPedido", FieldType::kInteger);
  pedido.AddFieldDef("Cliente", FieldType::kString, 60);
  pedido.Open();
  MemTable itens("mtPedidoItens");
  itens.AddFieldDef("IdPedido", FieldType::kInteger);
  itens.AddFieldDef("IdPedidoItem", FieldType::kInteger);
  itens.AddFieldDef("Quantidade", FieldType::kFloat);
  itens.Open();
  itens.SetMasterSource(&pedido);
  itens.SetMasterFields("IdPedido");
  itens.SetDetailFields("IdPedido");
  itens.SetIndexFieldNames("IdPedido");
  itens.FieldByName("IdPedido").SetVisible(false);
  for (int order : {1, 2}) {
    pedido.Append();
    pedido.FieldByName("IdPedido").SetAsInteger(order);
    pedido.FieldByName("Cliente").SetAsString("C" + std::to_string(order));
    pedido.Post();
    if (order == 2) break;
    for (int item : {10, 11}) {
      itens.Append();
      itens.FieldByName("IdPedidoItem").SetAsInteger(item);
      itens.FieldByName("Quantidade").SetAsFloat(1.5);
      itens.Post();
    }
  }
  EXPECT_EQ(
      ArrayText(pedido),
      R"([{"idpedido":1,"cliente":"C1","pedidoitens":[{"idpedidoitem":10,)"
      R"("quantidade":1.5},{"idpedidoitem":11,"quantidade":1.5}]},)"
      R"({"idpedido":2,"cliente":"C2"}])");
}

}  // namespace
}  // namespace norvessa
