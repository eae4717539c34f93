#include "serialize/dataset.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "serialize/dataset_error.h"
#include "serialize/mem_table.h"

namespace norvessa {
namespace {

// A one-row table with one field of the type, holding `set(field)`.
class OneValue {
 public:
  OneValue(FieldType type, const std::function<void(Field&)>& set,
           int size = 0) {
    table_.AddFieldDef("Valor", type, size);
    table_.Open();
    table_.Append();
    if (set) set(table_.FieldByName("valor"));
    table_.Post();
  }
  Field& field() { return table_.FieldByName("VALOR"); }

 private:
  MemTable table_;
};

// What a read gives: the value as text, or the error's message.
template <typename Fn>
std::string Read(Fn fn) {
  try {
    return fn();
  } catch (const std::exception& e) {
    return std::string("error: ") + e.what();
  }
}

TEST(DataSetTest, FieldConversions) {
  struct Case {
    const char* name;
    FieldType type;
    std::function<void(Field&)> set;  // nullptr leaves it null
    const char* as_string;
    const char* as_integer;
    const char* as_float;
    const char* as_boolean;
  };
  const Case cases[] = {
      {"text 12", FieldType::kString, [](Field& f) { f.SetAsString("12"); },
       "12", "12", "12", "false"},
      {"text 1,5", FieldType::kString, [](Field& f) { f.SetAsString("1,5"); },
       "1,5", "error: '1,5' is not a valid integer value", "1.5", "false"},
      {"text null", FieldType::kString, nullptr, "",
       "error: '' is not a valid integer value",
       "error: '' is not a valid floating point value", "false"},
      {"text Yes", FieldType::kString, [](Field& f) { f.SetAsString("Yes"); },
       "Yes", "error: 'Yes' is not a valid integer value",
       "error: 'Yes' is not a valid floating point value", "true"},
      {"integer -7", FieldType::kInteger, [](Field& f) { f.SetAsInteger(-7); },
       "-7", "-7", "-7", "error: Cannot access field 'Valor' as type Boolean"},
      {"integer null", FieldType::kInteger, nullptr, "", "0", "0",
       "error: Cannot access field 'Valor' as type Boolean"},
      {"float 12.5", FieldType::kFloat, [](Field& f) { f.SetAsFloat(12.5); },
       "12.5", "12", "12.5",
       "error: Cannot access field 'Valor' as type Boolean"},
      {"float 13.5", FieldType::kFloat, [](Field& f) { f.SetAsFloat(13.5); },
       "13.5", "14", "13.5",
       "error: Cannot access field 'Valor' as type Boolean"},
      {"float null", FieldType::kFloat, nullptr, "", "0", "0",
       "error: Cannot access field 'Valor' as type Boolean"},
      {"bcd 12.3400", FieldType::kFMTBcd,
       [](Field& f) { f.SetAsString("12.3400"); }, "12.34", "12", "12.34",
       "error: Cannot access field 'Valor' as type Boolean"},
      {"boolean", FieldType::kBoolean, [](Field& f) { f.SetAsBoolean(true); },
       "True", "error: Cannot access field 'Valor' as type Integer",
       "error: Cannot access field 'Valor' as type Float", "true"},
      {"date", FieldType::kDate, [](Field& f) { f.SetAsString("5/3/2024"); },
       "05/03/2024", "error: Cannot access field 'Valor' as type Integer",
       "45356", "error: Cannot access field 'Valor' as type Boolean"},
      {"date and time", FieldType::kDateTime,
       [](Field& f) { f.SetAsString("5/3/2024 12:00"); }, "05/03/2024 12:00:00",
       "error: Cannot access field 'Valor' as type Integer", "45356.5",
       "error: Cannot access field 'Valor' as type Boolean"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OneValue v(c.type, c.set);
    Field& f = v.field();
    EXPECT_EQ(Read([&] { return f.AsString(); }), c.as_string);
    EXPECT_EQ(Read([&] { return std::to_string(f.AsInteger()); }),
              c.as_integer);
    EXPECT_EQ(Read([&] {
                std::string s = std::to_string(f.AsFloat());
                // std::to_string gives six decimals; trim them for the table.
                while (s.back() == '0') s.pop_back();
                if (s.back() == '.') s.pop_back();
                return s;
              }),
              c.as_float);
    EXPECT_EQ(Read([&] {
                return f.AsBoolean() ? std::string("true")
                                     : std::string("false");
              }),
              c.as_boolean);
  }
}

TEST(DataSetTest, TextDatesAndSizes) {
  OneValue date_text(FieldType::kString,
                     [](Field& f) { f.SetAsString("01/06/2021"); });
  EXPECT_EQ(date_text.field().AsDateTime(), DateTime::FromParts(2021, 6, 1));
  OneValue bad_date(FieldType::kString,
                    [](Field& f) { f.SetAsString("2021-06-01"); });
  EXPECT_EQ(Read([&] { return bad_date.field().AsDateTime(), std::string(); }),
            "error: '2021-06-01' is not a valid date and time");

  // The size counts characters, not bytes.
  std::string accented;
  for (int i = 0; i < 5000; ++i) accented += "\xC3\xA9";
  OneValue sized(
      FieldType::kString, [&](Field& f) { f.SetAsString(accented); }, 4096);
  EXPECT_EQ(sized.field().AsString().size(), 4096u * 2);
  OneValue date_field(FieldType::kDate, [](Field& f) {
    f.SetAsDateTime(DateTime::FromParts(2024, 3, 5, 14, 5));
  });
  EXPECT_EQ(date_field.field().AsDateTime(), DateTime::FromParts(2024, 3, 5));
}

TEST(DataSetTest, StateErrors) {
  MemTable table;
  table.AddFieldDef("Usuario", FieldType::kString, 30);
  EXPECT_EQ(Read([&] { return table.First(), std::string(); }),
            "error: Cannot perform this operation on a closed dataset");
  table.Open();
  EXPECT_EQ(Read([&] {
              return table.FieldByName("usuario").SetAsString("x"),
                     std::string();
            }),
            "error: Dataset not in edit or insert mode");
  EXPECT_EQ(Read([&] { return table.FieldByName("Senha"), std::string(); }),
            "error: Field 'Senha' not found");
  EXPECT_EQ(table.FindField("Senha"), nullptr);
  EXPECT_EQ(&table.FieldByName("usuario"), &table.FieldByName("USUARIO"));
}

// The same failures on a table of input name the sender's fault with
// InputError and keep their messages; on any other table they stay
// DataSetError and ConvertError.
TEST(DataSetTest, ATableOfInputFailsWithInputErrors) {
  for (const bool input : {false, true}) {
    MemTable body;
    if (input) body.MarkAsInput();
    body.AddFieldDef("inicio", FieldType::kString, 10);
    body.AddFieldDef("ativo", FieldType::kBoolean);
    body.Open();
    body.Append();
    body.FieldByName("inicio").SetAsString("dez");
    body.Post();
    const std::function<void()> reads[] = {
        [&] { body.FieldByName("quantidadereg"); },
        [&] { body.FieldByName("inicio").AsInteger(); },
        [&] { body.FieldByName("inicio").AsFloat(); },
        [&] { body.FieldByName("inicio").AsDateTime(); },
        [&] { body.FieldByName("ativo").AsDateTime(); },
    };
    const std::string messages[] = {
        "Field 'quantidadereg' not found",
        "'dez' is not a valid integer value",
        "'dez' is not a valid floating point value",
        "'dez' is not a valid date and time",
        "Cannot access field 'ativo' as type DateTime",
    };
    for (std::size_t i = 0; i < std::size(reads); ++i) {
      SCOPED_TRACE(messages[i]);
      try {
        reads[i]();
        ADD_FAILURE() << "no error";
      } catch (const InputError& e) {
        EXPECT_TRUE(input);
        EXPECT_EQ(e.what(), messages[i]);
      } catch (const DataSetError& e) {
        EXPECT_FALSE(input);
        EXPECT_EQ(e.what(), messages[i]);
      } catch (const ConvertError& e) {
        EXPECT_FALSE(input);
        EXPECT_EQ(e.what(), messages[i]);
      }
    }
  }
}

TEST(DataSetTest, AppendEditDeleteAndBookmarks) {
  MemTable table;
  table.AddFieldDef("Id", FieldType::kInteger);
  table.Open();
  EXPECT_TRUE(table.IsEmpty());
  EXPECT_TRUE(table.Eof());
  for (int i = 1; i <= 3; ++i) {
    table.Append();
    table.FieldByName("Id").SetAsInteger(i * 10);
    table.Post();
  }
  EXPECT_EQ(table.RecordCount(), 3);
  EXPECT_EQ(table.FieldByName("Id").AsInteger(), 30);  // on the last posted

  table.First();
  table.Next();
  const DataSet::Bookmark second = table.GetBookmark();
  table.Edit();
  table.FieldByName("Id").SetAsInteger(21);
  table.Post();
  table.First();
  ASSERT_TRUE(table.BookmarkValid(second));
  table.GotoBookmark(second);
  EXPECT_EQ(table.FieldByName("Id").AsInteger(), 21);

  table.Delete();
  EXPECT_EQ(table.RecordCount(), 2);
  EXPECT_FALSE(table.BookmarkValid(second));
  EXPECT_EQ(table.FieldByName("Id").AsInteger(), 30);

  table.Append();
  table.FieldByName("Id").SetAsInteger(99);
  table.Delete();  // discards the row being inserted
  EXPECT_EQ(table.RecordCount(), 2);

  table.Next();
  EXPECT_TRUE(table.Eof());
  EXPECT_EQ(table.FieldByName("Id").AsInteger(), 30);  // stays on the last
  table.EmptyDataSet();
  EXPECT_TRUE(table.IsEmpty());
  EXPECT_TRUE(table.FieldByName("Id").IsNull());
}

TEST(DataSetTest, DetailFollowsTheMastersCursor) {
  MemTable pedido("mtPedido");
  pedido.AddFieldDef("IdPedido", FieldType::kInteger);
  pedido.Open();
  MemTable itens("mtPedidoItens");
  itens.AddFieldDef("IdPedido", FieldType::kInteger);
  itens.AddFieldDef("IdPedidoItem", FieldType::kInteger);
  itens.Open();
  itens.SetMasterSource(&pedido);
  itens.SetMasterFields("IdPedido");
  itens.SetDetailFields("IdPedido");
  itens.SetIndexFieldNames("IdPedidoItem");
  ASSERT_EQ(pedido.Details().size(), 1u);

  for (int order : {1, 2, 3}) {
    pedido.Append();
    pedido.FieldByName("IdPedido").SetAsInteger(order);
    pedido.Post();
    // Items out of order, none for order 3.
    for (int item : {2, 1}) {
      if (order == 3) break;
      itens.Append();
      EXPECT_EQ(itens.FieldByName("IdPedido").AsInteger(), order);
      itens.FieldByName("IdPedidoItem").SetAsInteger(order * 100 + item);
      itens.Post();
    }
  }
  pedido.First();
  EXPECT_EQ(itens.RecordCount(), 2);
  EXPECT_EQ(itens.FieldByName("IdPedidoItem").AsInteger(), 101);
  pedido.Next();
  EXPECT_EQ(itens.RecordCount(), 2);
  EXPECT_EQ(itens.FieldByName("IdPedidoItem").AsInteger(), 201);
  itens.Next();
  EXPECT_EQ(itens.FieldByName("IdPedidoItem").AsInteger(), 202);
  pedido.Next();
  EXPECT_EQ(itens.RecordCount(), 0);
  EXPECT_TRUE(itens.IsEmpty());
}

}  // namespace
}  // namespace norvessa
