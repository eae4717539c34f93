#include "serialize/dataset_import.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "json/json_parser.h"
#include "json/json_text.h"
#include "serialize/dataset_error.h"
#include "serialize/dataset_export.h"

namespace norvessa {
namespace {

// Field names with types, the rows as JSON, and where the cursor is.
std::string Describe(MemTable& t) {
  std::string out;
  for (const auto& f : t.Fields()) {
    out +=
        f->FieldName() + ":" + std::string(FieldTypeName(f->DataType())) + " ";
  }
  if (!t.Active()) return out + "closed";
  const std::string current = t.IsEmpty() ? "-" : ToJsonText(ToJSONObject(t));
  return out + ToJsonText(ToJSONArray(t)) + " at " + current;
}

TEST(DataSetImportTest, BodiesBecomeTables) {
  struct Case {
    const char* body;
    const char* table;
  };
  const Case cases[] = {
      {R"({"usuario":"caixa1","grupo":"Todos"})",
       R"(USUARIO:ftString GRUPO:ftString [{"usuario":"caixa1","grupo":"Todos"}] at {"usuario":"caixa1","grupo":"Todos"})"},
      {R"({"Usuario":"caixa1"})",
       R"(USUARIO:ftString [""] at {"usuario":null})"},
      {R"({"inicio":0,"quantidadereg":20})",
       R"(INICIO:ftFloat QUANTIDADEREG:ftFloat [{"inicio":0,"quantidadereg":20}] at {"inicio":0,"quantidadereg":20})"},
      {R"({"idCidade":"35","USUARIO":"x","id_cidade":"9"})",
       R"(ID_CIDADE:ftString USUARIO:ftString [{"idCidade":"35","usuario":"x"}] at {"idCidade":"35","usuario":"x"})"},
      {R"([{"grupo":"A"},{"grupo":"B","x":1}])",
       R"(GRUPO:ftString ["A","B"] at {"grupo":"A"})"},
      {R"([{"g":"A","h":1},{"g":"B"}])",
       R"(G:ftString H:ftFloat [{"g":"A","h":1},{"g":"B","h":null}] at {"g":"A","h":1})"},
      {"{\"a\":1}\r\n", R"(A:ftFloat [1] at {"a":1})"},
      {R"({"a":true})", R"(A:ftBoolean [true] at {"a":true})"},
      {R"({"a":null})", R"(A:ftString [""] at {"a":null})"},
      {R"({"a":{"b":1},"c":[1]})",
       R"(A:ftString C:ftString [{"a":"","c":""}] at {"a":"","c":""})"},
      {"", "closed"},
      {"   ", "closed"},
      {"12", "closed"},
      {"plain text", "closed"},
      {"{}", "closed"},
      {"[]", "closed"},
      {R"({"a":"1","object_state":"UNMODIFIED"})",
       R"(A:ftString OBJECT_STATE:ftString [] at -)"},
      {R"({"a":"1","objectState":"DELETED"})",
       R"(A:ftString OBJECT_STATE:ftString [] at -)"},
      {R"({"a":"1","objectState":"INSERTED"})",
       R"(A:ftString OBJECT_STATE:ftString [{"a":"1","objectState":"INSERTED"}] at {"a":"1","objectState":"INSERTED"})"},
      {R"([{"a":"x"},"y",7])", R"(A:ftString ["x","y","7"] at {"a":"x"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    MemTable t;
    LoadFromJSON(t, c.body);
    EXPECT_EQ(Describe(t), c.table);
    // A value tree imports the same.
    if (const auto tree = ParseJson(c.body)) {
      MemTable from_tree;
      LoadFromJSON(from_tree, *tree);
      EXPECT_EQ(Describe(from_tree), Describe(t));
    }
  }
}

// Past a few keys, fields and members are found through hashes; the rules
// stay: one field per name (ASCII case folded, the first key wins), a value
// found under the field's key form or the field's name only, exactly.
TEST(DataSetImportTest, ManyKeysKeepTheRules) {
  std::string body = R"({"idCidade":"1","IdCidade":"2","ID_CIDADE":"3",)"
                     R"("Usuario":"u","grupo":"g","grupo":"dup")";
  for (int i = 0; i < 1000; ++i) {
    body += ",\"k" + std::to_string(i) + "\":" + std::to_string(i);
  }
  body += "}";
  for (const bool from_tree : {false, true}) {
    SCOPED_TRACE(from_tree ? "tree" : "text");
    MemTable t;
    if (from_tree) {
      LoadFromJSON(t, *ParseJson(body));
    } else {
      LoadFromJSON(t, body);
    }
    ASSERT_EQ(t.Fields().size(), 3u + 1000u);
    EXPECT_EQ(t.Fields()[0]->FieldName(), "ID_CIDADE");
    EXPECT_EQ(t.FieldByName("id_cidade").AsString(), "1");
    EXPECT_TRUE(t.FieldByName("USUARIO").IsNull());
    EXPECT_EQ(t.FieldByName("grupo").AsString(), "g");
    EXPECT_EQ(t.FieldByName("K999").AsInteger(), 999);
    EXPECT_EQ(t.FieldByName("k0").DataType(), FieldType::kFloat);
  }
}

// "k0":0,"k1":1,... : `count` keys that each give a field name of its own.
std::string NumberedKeys(int count) {
  std::string members;
  for (int i = 0; i < count; ++i) {
    if (i > 0) members += ',';
    members += "\"k" + std::to_string(i) + "\":" + std::to_string(i);
  }
  return members;
}

// An object is refused when its keys give more than kMaxObjectKeys field
// names; keys that give a name already given do not count.
TEST(DataSetImportTest, AnObjectOfTooManyKeysIsRefused) {
  const int limit = static_cast<int>(kMaxObjectKeys);
  // Each name twice over, in both cases: 500 names.
  std::string case_variants;
  for (int i = 0; i < 2000; ++i) {
    case_variants +=
        (i % 2 ? "\"K" : "\"k") + std::to_string(i / 2 % 500) + "\":0,";
  }
  struct Case {
    const char* name;
    std::string body;
    std::size_t fields;  // 0: refused
  };
  const Case kCases[] = {
      {"at the limit", "{" + NumberedKeys(limit) + "}", kMaxObjectKeys},
      {"one past", "{" + NumberedKeys(limit + 1) + "}", 0},
      {"far past", "{" + NumberedKeys(100000) + "}", 0},
      {"repeated keys",
       "{" + NumberedKeys(limit) + R"(,"k0":"again","K0":1,"K1":2})",
       kMaxObjectKeys},
      {"case variants", "{" + case_variants + NumberedKeys(limit) + "}",
       kMaxObjectKeys},
      {"case variants and one more",
       "{" + case_variants + NumberedKeys(limit) + R"(,"x":0})", 0},
      {"one name in three spellings",
       "{" + NumberedKeys(limit - 1) +
           R"(,"idCidade":1,"ID_CIDADE":2,"IdCidade":3})",
       kMaxObjectKeys},
      {"a later object at the limit",
       R"([{"k0":1},{)" + NumberedKeys(limit) + "}]", 1},
      {"a later object past the limit",
       R"([{"k0":1},{)" + NumberedKeys(limit + 1) + "}]", 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    for (const bool from_tree : {false, true}) {
      SCOPED_TRACE(from_tree ? "tree" : "text");
      MemTable t;
      try {
        if (from_tree) {
          LoadFromJSON(t, *ParseJson(c.body));
        } else {
          LoadFromJSON(t, c.body);
        }
        EXPECT_EQ(t.Fields().size(), c.fields);
      } catch (const DataSetJsonException& e) {
        EXPECT_EQ(c.fields, 0u);
        EXPECT_STREQ(e.what(), "JSON not defined");
      }
    }
  }
}

TEST(DataSetImportTest, FailuresRaisedByTheLoader) {
  struct Case {
    const char* body;
    const char* message;
  };
  const Case cases[] = {
      {"{bad", "JSON not defined"},
      {R"({"a":1} trailing)", "JSON not defined"},
      {R"({"a":1}{"b":2})", "JSON not defined"},
      {"[1,", "JSON not defined"},
      {R"(["a","b"])", "[] Invalid field count"},
      {R"([1,{"a":1}])", "[] Invalid field count"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    MemTable t;
    try {
      LoadFromJSON(t, c.body);
      ADD_FAILURE() << "no error";
    } catch (const DataSetJsonException& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(DataSetImportTest, ValuesAreConvertedByTheFieldsType) {
  MemTable t;
  t.AddFieldDef("Id", FieldType::kInteger);
  t.AddFieldDef("Qtd", FieldType::kFloat);
  t.AddFieldDef("Preco", FieldType::kCurrency);
  t.AddFieldDef("Dia", FieldType::kDate);
  t.AddFieldDef("Quando", FieldType::kDateTime);
  t.AddFieldDef("Ativo", FieldType::kBoolean);
  t.AddFieldDef("Foto", FieldType::kBlob);
  LoadFromJSON(
      t,
      R"({"id":"12x","qtd":"1,5","preco":"2.34567","dia":"5/3/2024 10:00",)"
      R"("quando":"2024-03-05T10:00:00-03:00","ativo":"talvez","foto":"Zm9v"})");
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 0);
  EXPECT_DOUBLE_EQ(t.FieldByName("Qtd").AsFloat(), 1.5);
  EXPECT_DOUBLE_EQ(t.FieldByName("Preco").AsFloat(), 2.3457);
  EXPECT_EQ(t.FieldByName("Dia").AsDateTime(), DateTime::FromParts(2024, 3, 5));
  EXPECT_EQ(t.FieldByName("Quando").AsDateTime(),
            DateTime::FromParts(2024, 3, 5, 13));
  EXPECT_TRUE(t.FieldByName("Ativo").IsNull());
  EXPECT_EQ(t.FieldByName("Foto").AsString(), "foo");

  MemTable bad;
  bad.AddFieldDef("Qtd", FieldType::kFloat);
  try {
    LoadFromJSON(bad, R"({"qtd":"um"})");
    ADD_FAILURE();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "'um' is not a valid floating point value");
  }
  // A day number no calendar holds is refused, not wrapped around.
  for (const char* body :
       {R"({"dia":1e300})", R"({"dia":-1e300})", R"({"dia":2958466})"}) {
    SCOPED_TRACE(body);
    MemTable dates;
    dates.AddFieldDef("Dia", FieldType::kDate);
    EXPECT_THROW(LoadFromJSON(dates, body), ConvertError);
  }
  MemTable last_day;
  last_day.AddFieldDef("Dia", FieldType::kDate);
  LoadFromJSON(last_day, R"({"dia":2958465})");
  EXPECT_EQ(last_day.FieldByName("Dia").AsDateTime(),
            DateTime::FromParts(9999, 12, 31));
}

std::string Repeated(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// Past 4096 characters (not bytes) a text is a large object whose value is
// canonical Base64; other text fails the import and leaves no row.
TEST(DataSetImportTest, LongTextsBecomeLargeObjectsReadAsBase64) {
  struct Case {
    std::string text;
    FieldType type;
    std::optional<std::string> stored;  // nothing: refused
  };
  const std::string ascii_base64 = Repeated("QUJD", 1025);  // "ABC" x 1025
  const Case kCases[] = {
      {std::string(5000, 'A'), FieldType::kBlob, std::string(3750, '\0')},
      {ascii_base64, FieldType::kBlob, Repeated("ABC", 1025)},
      {Repeated("\xC3\xA7", 4096), FieldType::kString,
       Repeated("\xC3\xA7", 4096)},
      {Repeated("\xC3\xA7", 4097), FieldType::kBlob, std::nullopt},
      {ascii_base64.substr(1), FieldType::kBlob, std::nullopt},
      {ascii_base64.substr(0, 4096) + "\n" + ascii_base64.substr(4096),
       FieldType::kBlob, std::nullopt},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text.substr(0, 20) + " (" + std::to_string(c.text.size()) +
                 " bytes)");
    MemTable t;
    const std::string body = ToJsonText(
        JsonValue::Object().AddPair("foto", JsonValue::String(c.text)));
    try {
      LoadFromJSON(t, body);
      ASSERT_TRUE(c.stored.has_value());
      Field& foto = t.FieldByName("FOTO");
      EXPECT_EQ(foto.DataType(), c.type);
      EXPECT_EQ(foto.AsString(), *c.stored);
    } catch (const ConvertError& e) {
      EXPECT_FALSE(c.stored.has_value());
      EXPECT_STREQ(e.what(), "Field \"FOTO\" takes a Base64 string");
      EXPECT_TRUE(t.IsEmpty());
    }
  }
}

}  // namespace
}  // namespace norvessa
