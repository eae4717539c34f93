#include "controllers/cidade_controller.h"

#include <gtest/gtest.h>

#include <string>

#include "db/connection_factory.h"
#include "json/json_document.h"
#include "middleware/handle_exception.h"
#include "middleware/json_body.h"
#include "serialize/dataset_import.h"
#include "support/http_client.h"
#include "support/recording_connection.h"
#include "support/temp_database.h"
#include "support/test_server.h"

namespace norvessa {
namespace {

constexpr const char* kFixture = R"(
  CREATE TABLE Uf (IdUf INTEGER PRIMARY KEY, Uf VARCHAR(2), UfNome VARCHAR(50),
                   Situacao INTEGER);
  INSERT INTO Uf VALUES (35, 'SP', 'S' || char(227) || 'o Paulo', 1),
                        (33, 'RJ', 'Rio de Janeiro', 1), (99, 'EX', 'Exterior', 0),
                        (12, 'AC', 'Acre', 1);
  CREATE TABLE Cidade (IdCidade INTEGER PRIMARY KEY, Cidade VARCHAR(60),
                       IdUf INTEGER, Situacao INTEGER);
  INSERT INTO Cidade VALUES (1, 'Santos', 35, 1), (2, 'Campinas', 35, 1),
                            (3, 'Extinta', 35, 0), (4, 'Niter' || char(243) || 'i', 33, 1);
)";

void UseServiceMiddleware(Api& api) {
  api.Use(JsonBody());
  api.Use(
      [](ApiRequest& req, ApiResponse& res, const std::function<void()>& next) {
        HandleException(req, res, next);
      });
}

struct Exchange {
  const char* path;
  const char* body;
  int status;
  const char* answer;
};

const std::vector<std::pair<std::string, std::string>> kJson = {
    {"Content-Type", "application/json"}};

TEST(CidadeControllerTest, AnswersOverHttp) {
  testing::TempDatabase db(kFixture);
  ConnectionSettings settings;
  settings.driver = "SQLite";
  settings.database = db.path();
  ConnectionPool pool(MakeConnectionFactory(settings), 4);
  testing::TestServer server;
  UseServiceMiddleware(server.api());
  CidadeController::Registry(server.api(), pool);
  server.Start();

  const Exchange cases[] = {
      {"/cidades", R"({"iduf":"35"})", 200,
       R"([{"idcidade":2,"cidade":"Campinas"},{"idcidade":1,"cidade":"Santos"}])"},
      {"/cidades", R"({"iduf":35})", 200,
       R"([{"idcidade":2,"cidade":"Campinas"},{"idcidade":1,"cidade":"Santos"}])"},
      {"/cidades", R"({"IDUF":"33"})", 200,
       R"([{"idcidade":4,"cidade":"Niter\u00F3i"}])"},
      {"/cidades", R"({"iduf":"12"})", 200,
       R"(["Result","Nenhum Registro Encontrado!"])"},
      {"/cidades", R"({"iduf":"1' or '1'='1"})", 200,
       R"(["Result","Nenhum Registro Encontrado!"])"},
      {"/cidades", R"({"iduf":""})", 401, R"({"Result":"Sem Estado!"})"},
      {"/cidades", R"({"idUf":"35"})", 404, R"({"Erro except":"Sem Estado!"})"},
      {"/cidades", R"({"outra":"35"})", 404,
       R"({"Erro except":"Sem Estado!"})"},
      {"/cidades", "", 404, R"({"Erro except":"Sem Estado!"})"},
      {"/cidades", "iduf=35", 404, R"({"Erro except":"Sem Estado!"})"},
      {"/cidades", "{bad", 500, R"({"error":"JSON not defined"})"},
      {"/estados", "", 200,
       R"([{"iduf":12,"uf":"AC","ufnome":"Acre"},{"iduf":33,"uf":"RJ","ufnome":"Rio de Janeiro"},)"
       R"({"iduf":35,"uf":"SP","ufnome":"S\u00E3o Paulo"}])"},
      {"/estados", R"({"qualquer":1})", 200,
       R"([{"iduf":12,"uf":"AC","ufnome":"Acre"},{"iduf":33,"uf":"RJ","ufnome":"Rio de Janeiro"},)"
       R"({"iduf":35,"uf":"SP","ufnome":"S\u00E3o Paulo"}])"},
      {"/estados", "[1,", 500, R"({"error":"JSON not defined"})"},
  };
  for (const Exchange& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + c.body);
    const auto r =
        testing::Request(server.port(), "POST", c.path, kJson, c.body);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.body, c.answer);
  }
}

// The JSON body middleware parses "application/json" bodies once and the
// handler loads that document; every other body is loaded from its text.
// Either way a client gets the same bytes.
TEST(CidadeControllerTest, EveryContentTypeGetsTheSameAnswer) {
  testing::TempDatabase db(kFixture);
  ConnectionSettings settings;
  settings.driver = "SQLite";
  settings.database = db.path();
  ConnectionPool pool(MakeConnectionFactory(settings), 4);
  testing::TestServer server;
  UseServiceMiddleware(server.api());
  CidadeController::Registry(server.api(), pool);
  server.Start();

  std::string too_many = "[1";
  for (std::size_t i = 1; i <= kMaxJsonValues; ++i) too_many += ",1";
  too_many += "]";
  // The state's key after others that each give a field name of its own.
  auto with_keys = [](int count) {
    std::string body = "{";
    for (int i = 0; i < count; ++i) body += "\"k" + std::to_string(i) + "\":0,";
    return body + R"("iduf":"35"})";
  };
  const int keys = static_cast<int>(kMaxObjectKeys);
  struct Case {
    std::string body;
    int status;
    const char* answer;
  };
  const Case cases[] = {
      {R"({"iduf":"35"})", 200,
       R"([{"idcidade":2,"cidade":"Campinas"},{"idcidade":1,"cidade":"Santos"}])"},
      {" \r\n{\"iduf\":35}\r\n", 200,
       R"([{"idcidade":2,"cidade":"Campinas"},{"idcidade":1,"cidade":"Santos"}])"},
      {"{\"iduf\":\"3\xFF"
       "5\"}",
       200, R"(["Result","Nenhum Registro Encontrado!"])"},
      {R"({"iduf":""})", 401, R"({"Result":"Sem Estado!"})"},
      {"", 404, R"({"Erro except":"Sem Estado!"})"},
      {"iduf=35", 404, R"({"Erro except":"Sem Estado!"})"},
      {"\"35\"", 404, R"({"Erro except":"Sem Estado!"})"},
      {"{bad", 500, R"({"error":"JSON not defined"})"},
      {R"({"iduf":"35"} x)", 500, R"({"error":"JSON not defined"})"},
      {R"(["35","12"])", 500, R"({"error":"[] Invalid field count"})"},
      // More values than a body may hold: as malformed JSON.
      {too_many, 500, R"({"error":"JSON not defined"})"},
      // More field names than one object may give: the same.
      {with_keys(keys - 1), 200,
       R"([{"idcidade":2,"cidade":"Campinas"},{"idcidade":1,"cidade":"Santos"}])"},
      {with_keys(keys), 500, R"({"error":"JSON not defined"})"},
  };
  const char* types[] = {
      "application/json", "application/json; charset=utf-8", "APPLICATION/JSON",
      "text/plain",       "text/plain; charset=ISO-8859-1",  ""};
  for (const char* type : types) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(type) + " " + c.body.substr(0, 30));
      std::vector<std::pair<std::string, std::string>> headers;
      if (*type != '\0') headers.emplace_back("Content-Type", type);
      const auto r =
          testing::Request(server.port(), "POST", "/cidades", headers, c.body);
      EXPECT_EQ(r.status, c.status);
      EXPECT_EQ(r.body, c.answer);
    }
  }
}

TEST(CidadeControllerTest, AnUnreachableDatabaseGivesTheFailureAnswer) {
  testing::TempDatabase db(kFixture);
  ConnectionSettings settings;
  settings.driver = "SQLite";
  settings.database = db.path();
  ConnectionPool pool(MakeConnectionFactory(settings), 4);
  testing::TestServer server;
  UseServiceMiddleware(server.api());
  CidadeController::Registry(server.api(), pool);
  server.Start();
  pool.Close();  // no connection can be had any more
  for (const char* path : {"/estados", "/cidades"}) {
    const auto r = testing::Request(server.port(), "POST", path, kJson,
                                    R"({"iduf":"35"})");
    EXPECT_EQ(r.status, 200) << path;
    EXPECT_EQ(r.body, R"(["Erro except","Nenhum Registro Encontrado!"])");
  }
}

TEST(CidadeControllerTest, SendsTheseStatements) {
  struct Case {
    const char* path;
    const char* body;
    std::vector<std::string> sql;
    // The values bound to each statement's markers.
    std::vector<std::string> bound;
  };
  // A numeric state is bound as an integer; anything else stays the
  // quoted literal it always was.
  const std::string cities =
      "select IdCidade, Cidade from Cidade\nwhere Situacao = 1\n"
      "and IdUf = ?\norder by Cidade";
  const Case cases[] = {
      {"/cidades", R"({"iduf":"35"})", {cities}, {"35"}},
      {"/cidades", R"({"iduf":35})", {cities}, {"35"}},
      {"/cidades", R"({"iduf":" 035 "})", {cities}, {"35"}},
      {"/cidades",
       R"({"iduf":"3'5; drop table Uf --"})",
       {"select IdCidade, Cidade from Cidade\nwhere Situacao = 1\n"
        "and IdUf = '3''5; drop table Uf --'\norder by Cidade"},
       {""}},
      {"/cidades",
       R"({"iduf":"99999999999"})",
       {"select IdCidade, Cidade from Cidade\nwhere Situacao = 1\n"
        "and IdUf = '99999999999'\norder by Cidade"},
       {""}},
      {"/cidades", R"({"iduf":""})", {}, {}},
      {"/cidades", "{}", {}, {}},
      {"/estados",
       "",
       {"select IdUf, Uf, UfNome from Uf\nwhere Situacao = 1\norder by Uf"},
       {""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + c.body);
    testing::RecordingPool recording;
    testing::TestServer server;
    UseServiceMiddleware(server.api());
    CidadeController::Registry(server.api(), *recording.pool);
    server.Start();
    testing::Request(server.port(), "POST", c.path, kJson, c.body);
    EXPECT_EQ(recording.Sql(), c.sql);
    EXPECT_EQ(recording.Bound(), c.bound);
  }
}

}  // namespace
}  // namespace norvessa
