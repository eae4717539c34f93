// The window's application object takes the locale from LANG. Under a
// Brazilian locale with a single-byte character set, whose decimal
// separator is a comma, every number the service writes or reads must stay
// as it is in the C locale, and the C library's character conversions
// (which Microsoft's ODBC driver uses for narrow text) must stay UTF-8.

#include <gtest/gtest.h>
#include <locale.h>
#include <sql.h>

#include <QApplication>
#include <clocale>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <string>

#include "app/window/qt_application.h"
#include "db/odbc/odbc_connection.h"
#include "db/query.h"
#include "json/json_parser.h"
#include "json/json_text.h"
#include "middleware/log_entry.h"
#include "middleware/log_file_provider.h"
#include "serialize/dataset_export.h"
#include "serialize/dataset_import.h"
#include "serialize/mem_table.h"
#include "support/scripted_odbc/scripted_odbc_fixture.h"
#include "support/temp_database.h"

namespace norvessa {
namespace {

std::string Category(int category) {
  const char* name = std::setlocale(category, nullptr);
  return name == nullptr ? "" : name;
}

TEST(LocaleTest, NumbersAreCAndCharactersUtf8) {
  // The environment's locale is in force for the rest...
  EXPECT_EQ(Category(LC_TIME), "pt_BR.ISO-8859-1");
  // ...numbers are C...
  EXPECT_EQ(Category(LC_NUMERIC), "C");
  EXPECT_STREQ(std::localeconv()->decimal_point, ".");
  // ...and narrow text is UTF-8: "São Paulo" becomes the code points a
  // driver sends, not "SÃ£o Paulo".
  EXPECT_EQ(Category(LC_CTYPE), "C.UTF-8");
  wchar_t wide[16] = {};
  ASSERT_EQ(std::mbstowcs(wide, "S\xC3\xA3o Paulo", 15), 9u);
  EXPECT_EQ(std::wstring(wide), L"S\u00E3o Paulo");
}

TEST(LocaleTest, DatabaseNumbersAndJsonText) {
  testing::TempDatabase db(R"(
    CREATE TABLE Produto (IdProduto INTEGER PRIMARY KEY, Preco REAL,
                          Peso NUMERIC(15,4));
    INSERT INTO Produto VALUES (1, 1234.5, 0.25);
  )");
  OdbcOptions options;
  options.connection_string = "DRIVER={SQLite3};Database=" + db.path() + ";";
  options.dialect = OdbcOptions::Dialect::kSqlite;
  OdbcConnection c(options);
  Query insert(c);
  insert.SQL().Add("insert into Produto (Preco, Peso) values (:Preco, :Peso)");
  insert.ParamByName("Preco").SetAsFloat(2.5);
  insert.ParamByName("Peso").SetAsFloat(1e-3);
  insert.ExecSQL();
  Query q(c);
  q.SQL().Add("select IdProduto, Preco, Peso from Produto order by IdProduto");
  q.Open();
  EXPECT_EQ(ToJsonText(ToJSONArray(q)),
            R"([{"idproduto":1,"preco":1234.5,"peso":0.25},)"
            R"({"idproduto":2,"preco":2.5,"peso":0.001}])");
  // The file itself holds points, whatever the driver saw.
  EXPECT_EQ(db.Scalar("select Preco || '|' || Peso from Produto where "
                      "IdProduto = 2"),
            "2.5|0.001");
}

TEST(LocaleTest, TextReachesMicrosoftsDriverAndComesBackIntact) {
  testing::ScriptedServer& server = testing::ScriptedOdbc();
  server.Reset();
  server.Answer(
      {"from Cidade",
       {testing::Rows({{"Cidade", SQL_VARCHAR, 60}}, {{"S\xC3\xA3o Paulo"}})}});
  OdbcOptions options;
  options.connection_string =
      testing::ScriptedConnectionString(testing::kMicrosoftDriver);
  OdbcConnection c(options);
  Query q(c);
  q.SQL().Add("select Cidade from Cidade where Cidade = 'S\xC3\xA3o Paulo'");
  q.Open();
  EXPECT_EQ(q.FieldByName("Cidade").AsString(), "S\xC3\xA3o Paulo");
  const auto sent = testing::CallsTo(server, {"SQLExecDirect"});
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back().text,
            "select Cidade from Cidade where Cidade = 'S\xC3\xA3o Paulo'");
}

TEST(LocaleTest, BodiesReadAndWrittenTheSameWay) {
  MemTable t;
  t.AddFieldDef("Qtd", FieldType::kFloat);
  t.AddFieldDef("Preco", FieldType::kCurrency);
  LoadFromJSON(t, R"({"qtd":1.5,"preco":"2.34567"})");
  EXPECT_EQ(ToJsonText(ToJSONArray(t)), R"([{"qtd":1.5,"preco":2.3457}])");
  EXPECT_EQ(ToJsonText(*ParseJson(R"({"a":[1.50,-0.0,1e3]})")),
            R"({"a":[1.50,-0.0,1e3]})");
}

TEST(LocaleTest, LogLinesStayTheSame) {
  LogTime time;
  time.local.tm_year = 2026 - 1900;
  time.local.tm_mon = 11;
  time.local.tm_mday = 9;
  time.local.tm_hour = 14;
  time.local.tm_min = 5;
  time.local.tm_sec = 9;
  time.millisecond = 123;
  EXPECT_EQ(FormatLogTime(time), "09/dezembro/2026 14:05:09.123");
  JsonValue e = JsonValue::Object();
  e.AddPair("request_clientip", JsonValue::String("10.0.0.1"))
      .AddPair("time", JsonValue::String(FormatLogTime(time)))
      .AddPair("request_method", JsonValue::String("GET"))
      .AddPair("request_path_info", JsonValue::String("/usuarios"))
      .AddPair("response_status", JsonValue::String("200"));
  EXPECT_EQ(FormatLogLine(kDefaultApiLogFormat,
                          GetFormatParams(kDefaultApiLogFormat), e),
            "10.0.0.1 [09/dezembro/2026 14:05:09.123] \"GET /usuarios\" 200");
}

// Builds pt_BR.ISO-8859-1 into a folder of its own, so that no machine
// needs it installed; false when the locale sources are missing.
bool BuildBrazilianLocale(const std::string& dir) {
  std::filesystem::create_directories(dir);
  const std::string command = "localedef -c -i pt_BR -f ISO-8859-1 '" + dir +
                              "/pt_BR.ISO-8859-1' >/dev/null 2>&1";
  std::system(command.c_str());
  return std::filesystem::exists(dir + "/pt_BR.ISO-8859-1/LC_NUMERIC");
}

}  // namespace
}  // namespace norvessa

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const std::string dir = std::filesystem::temp_directory_path().string() +
                          "/norvessa-locale-" + std::to_string(getpid());
  if (!norvessa::BuildBrazilianLocale(dir)) {
    std::fprintf(stderr,
                 "locale_test: localedef could not build pt_BR.ISO-8859-1 (is "
                 "the 'locales' package installed?)\n");
    return 1;
  }
  setenv("LOCPATH", dir.c_str(), 1);
  setenv("LANG", "pt_BR.ISO-8859-1", 1);
  unsetenv("LC_ALL");
  unsetenv("LC_NUMERIC");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int result = 1;
  {
    auto app = norvessa::CreateQtApplication(argc, argv);
    result = RUN_ALL_TESTS();
  }
  std::filesystem::remove_all(dir);
  return result;
}
