// The resources end to end over HTTP, on the fixture database.

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "resource_server.h"
#include "support/http_client.h"

namespace norvessa {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;
const Headers kJson = {{"Content-Type", "application/json"}};

struct Exchange {
  const char* method;
  const char* path;
  const char* body;
  int status;
  std::string answer;
};

void Check(testing::ResourceServer& server, const Exchange& c,
           const Headers& headers = kJson) {
  SCOPED_TRACE(std::string(c.method) + " " + c.path + " " + c.body);
  const auto r =
      testing::Request(server.port(), c.method, c.path, headers, c.body);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.body, c.answer);
}

const std::string kNenhum = R"(["Result","Nenhum Registro Encontrado!"])";
const std::string kErro = R"(["Erro except","Nenhum Registro Encontrado!"])";
const std::string kNenhumObj = R"({"Result":"Nenhum Registro Encontrado!"})";

TEST(ResourcesHttpTest, Users) {
  testing::ResourceServer server;
  const Exchange cases[] = {
      {"GET", "/usuarios", "", 200,
       R"([{"idempresa":1,"idusuario":1,"usuario":"ADMIN","senha":"adm"},)"
       R"({"idempresa":2,"idusuario":4,"usuario":"Ana","senha":"a"},)"
       R"({"idempresa":1,"idusuario":2,"usuario":"caixa1","senha":"c'1"}])"},
      {"POST", "/autenticacao", R"({"usuario":"caixa1","senha":"c'1"})", 200,
       R"({"Result":"2"})"},
      {"POST", "/autenticacao", R"({"usuario":"caixa1","senha":"x"})", 401,
       R"({"Result":"Usuario Sem Permissao!"})"},
      {"POST", "/autenticacao", R"({"usuario":"zeca","senha":"z"})", 401,
       R"({"Result":"Usuario Sem Permissao!"})"},
      {"POST", "/autenticacao",
       R"({"usuario":"' or '1'='1","senha":"' or '1'='1"})", 401,
       R"({"Result":"Usuario Sem Permissao!"})"},
      {"POST", "/autenticacao", R"({"usuario":""})", 401,
       R"({"Result":"Usuario sem Permissao!"})"},
      {"POST", "/autenticacao", R"({"Usuario":"caixa1","senha":"c'1"})", 401,
       R"({"Result":"Usuario sem Permissao!"})"},
      {"POST", "/autenticacao", "", 404,
       R"({"Erro except":"Usuario Sem Permissao!"})"},
      {"POST", "/autenticacao", R"({"usuario":"caixa1"})", 404,
       R"({"Erro except":"Usuario Sem Permissao!"})"},
      {"POST", "/autenticacao", R"({"usuario":"caixa1")", 500,
       R"({"error":"JSON not defined"})"},
      {"GET", "/permissoes/1", "", 200,
       R"([{"idempresa":1,"idusuario":1,"usuario":"ADMIN","senha":"adm","acesso":"Clientes",)"
       R"("acessar":1,"incluir":1,"alterar":1,"visualizar":1},)"
       R"({"idempresa":1,"idusuario":1,"usuario":"ADMIN","senha":"adm","acesso":"Pedidos",)"
       R"("acessar":1,"incluir":1,"alterar":1,"visualizar":1}])"},
      {"GET", "/permissoes/2", "", 401, kNenhum},
      {"GET", "/permissoes/abc", "", 404, kErro},
      {"GET", "/permissoes/99999999999", "", 404, kErro},
      {"POST", "/usuarios", "", 405, "Method Not Allowed"},
  };
  for (const Exchange& c : cases) Check(server, c);
}

TEST(ResourcesHttpTest, Persons) {
  testing::ResourceServer server;
  const std::string jose =
      R"({"idpessoa":1,"cliente":"Jos\u00E9 da Silva","cpfcnpj":"111.111.111-11",)"
      R"("telefone":"(11) 1111-1111","fax":null,"celular":"(11) 91111-1111",)"
      R"("rua":"Rua A","numero":"10","bairro":"Centro","complemento":null,)"
      R"("cep":"01001-000","cidade":"S\u00E3o Paulo","uf":"SP","codmunicipio":3550308,)"
      R"("email":"jose@exemplo.com.br")";
  const std::string maria =
      R"({"idpessoa":2,"cliente":"Maria D'\u00C1vila","cpfcnpj":"222.222.222-22",)"
      R"("telefone":null,"fax":null,"celular":null,"rua":"Rua B","numero":"20",)"
      R"("bairro":"Icara\u00ED","complemento":"Apto 3","cep":"24020-000",)"
      R"("cidade":"Niter\u00F3i","uf":"RJ","codmunicipio":3303302,"email":null)";
  const std::string angela =
      R"({"idpessoa":3,"cliente":"\u00C2ngela Souza","cpfcnpj":"333.333.333-33",)"
      R"("telefone":null,"fax":null,"celular":null,"rua":"Rua C","numero":"30",)"
      R"("bairro":"Centro","complemento":null,"cep":"01001-000",)"
      R"("cidade":"S\u00E3o Paulo","uf":"SP","codmunicipio":3550308,"email":null)";
  const std::string ursula =
      R"({"idpessoa":7,"cliente":"\u00DArsula Nunes","cpfcnpj":"777.777.777-77",)"
      R"("telefone":null,"fax":null,"celular":null,"rua":"Rua G","numero":"70",)"
      R"("bairro":"Centro","complemento":null,"cep":"01001-000",)"
      R"("cidade":"S\u00E3o Paulo","uf":"SP","codmunicipio":3550308,"email":null)";
  const std::string all =
      "[" + jose + "}," + maria + "}," + angela + "}," + ursula + "}]";
  const Exchange cases[] = {
      // Binary name order, as the embedded database sorts.
      {"POST", "/clientes", R"({"inicio":0,"quantidadereg":50})", 200, all},
      {"POST", "/clientes", R"({"inicio":1,"quantidadereg":1})", 200,
       "[" + maria + "}]"},
      {"POST", "/clientes",
       R"({"inicio":0,"quantidadereg":5,"nomecliente":"JOSE"})", 200,
       "[" + jose + "}]"},
      {"POST", "/clientes",
       R"({"inicio":0,"quantidadereg":5,"nomecliente":"d'av"})", 200,
       "[" + maria + "}]"},
      {"POST", "/clientes", R"({"inicio":0,"quantidadereg":5,"idcidade":"2"})",
       200, all},
      {"POST", "/clientes", R"({"idcidade":"2","cliente":"Jos"})", 200,
       "[" + maria + "}]"},
      {"POST", "/clientes", R"({"cliente":"angela"})", 200,
       "[" + angela + "}]"},
      {"POST", "/clientes", R"({"cliente":"Todos"})", 200, all},
      {"POST", "/clientes", R"({"cliente":"ninguem"})", 200, kNenhum},
      {"POST", "/clientes", "", 200, kErro},
      {"POST", "/clientes", R"({"inicio":0,"quantidadereg":0})", 200, kErro},
      {"POST", "/clientes", R"({"inicio":-1,"quantidadereg":5})", 200, kErro},
      {"POST", "/clientes", R"({"inicio":0})", 200, kErro},
      {"GET", "/moradores", "", 200,
       "[" + jose + R"(,"ultimacoleta":9,"registroaux":"00123"},)" + maria +
           R"(,"ultimacoleta":3,"registroaux":"0"},)" + angela +
           R"(,"ultimacoleta":null,"registroaux":"0"},)" + ursula +
           R"(,"ultimacoleta":null,"registroaux":"A-17"}])"},
      // The registration is compared as a number: '00123' is 123, and a
      // registration that is no number matches nothing and fails nobody.
      {"GET", "/moradores/123", "", 200,
       jose + R"(,"ultimacoleta":9,"registroaux":"00123"})"},
      {"GET", "/moradores/00123", "", 200,
       jose + R"(,"ultimacoleta":9,"registroaux":"00123"})"},
      {"GET", "/moradores/17", "", 200, kNenhumObj},
      {"GET", "/moradores/-17", "", 200, kNenhumObj},
      {"GET", "/moradores/0", "", 200, kNenhumObj},
      {"GET", "/moradores/x1", "", 200, kErro},
  };
  for (const Exchange& c : cases) Check(server, c);
}

TEST(ResourcesHttpTest, Groups) {
  testing::ResourceServer server;
  const Exchange cases[] = {
      {"POST", "/grupos", R"({"inicio":0,"quantidadereg":20,"grupo":"Todos"})",
       200,
       R"([{"idgrupo":6,"grupo":"50%_off"},{"idgrupo":3,"grupo":"Acess\u00F3rios"},)"
       R"({"idgrupo":1,"grupo":"Cal\u00E7as"},{"idgrupo":2,"grupo":"Camisetas"},)"
       R"({"idgrupo":5,"grupo":"D'\u00C1vila"}])"},
      {"POST", "/grupos", R"({"inicio":3,"grupo":"Todos"})", 200,
       R"([{"idgrupo":2,"grupo":"Camisetas"},{"idgrupo":5,"grupo":"D'\u00C1vila"}])"},
      {"POST", "/grupos",
       R"({"inicio":"abc","quantidadereg":1,"grupo":"Todos"})", 200,
       R"([{"idgrupo":6,"grupo":"50%_off"},{"idgrupo":3,"grupo":"Acess\u00F3rios"},)"
       R"({"idgrupo":1,"grupo":"Cal\u00E7as"},{"idgrupo":2,"grupo":"Camisetas"},)"
       R"({"idgrupo":5,"grupo":"D'\u00C1vila"}])"},
      {"POST", "/grupos", R"({"grupo":"CALCA"})", 200,
       R"([{"idgrupo":1,"grupo":"Cal\u00E7as"}])"},
      {"POST", "/grupos", R"({"grupo":"d'a"})", 200,
       R"([{"idgrupo":5,"grupo":"D'\u00C1vila"}])"},
      {"POST", "/grupos", R"({"grupo":"todos"})", 200, kNenhum},
      {"POST", "/grupos", R"({"grupo":"0%"})", 200,
       R"([{"idgrupo":6,"grupo":"50%_off"}])"},
      {"POST", "/grupos", R"({"inicio":0,"quantidadereg":20})", 200, kErro},
      {"POST", "/grupos", R"({"inicio":0,"quantidadereg":0,"grupo":"Todos"})",
       200, kErro},
      // Without "inicio" the count is never read: 0 and 100 stay.
      {"POST", "/grupos", R"({"quantidadereg":0,"grupo":"Todos"})", 200,
       R"([{"idgrupo":6,"grupo":"50%_off"},{"idgrupo":3,"grupo":"Acess\u00F3rios"},)"
       R"({"idgrupo":1,"grupo":"Cal\u00E7as"},{"idgrupo":2,"grupo":"Camisetas"},)"
       R"({"idgrupo":5,"grupo":"D'\u00C1vila"}])"},
      {"POST", "/grupoid", R"({"grupo":"Calças"})", 200, R"({"idgrupo":1})"},
      {"POST", "/grupoid", R"({"grupo":"calças"})", 200, kNenhumObj},
      {"POST", "/grupoid", R"({"grupo":"Inativo"})", 200, kNenhumObj},
      {"POST", "/grupoid", "{}", 200, kErro},
  };
  for (const Exchange& c : cases) Check(server, c);
}

TEST(ResourcesHttpTest, Products) {
  testing::ResourceServer server;
  const std::string camiseta_detail =
      R"({"idproduto":1,"produto":"Camiseta B\u00E1sica","referencia":"REF-1","idgrupo":2,)"
      R"("idsubgrupo":1,"idunmed":1,"idlinha":null,"idsublinha":null,"idmarca":1,)"
      R"("idtbncm":null,"idnatoperacao":null,"idtributacaoicms":null,"situacao":1,)"
      R"("grupo":"Camisetas","unmed":"un","subgrupo":"Masculino","linha":null,)"
      R"("sublinha":null,"marca":"Norvessa","ncmcodigo":null,"cfop":null,)"
      R"("tributacao":null,"numcodbarra1":"7890000000011","local":"Loja",)"
      R"("vlcompra":10.5,"vlcompracompra":10,"vlvenda":29.9,"vlpromocao":0,)"
      R"("vlvendaminimo":25,"pcmargemlucro":184.7619,"pcdespesas":10,)"
      R"("dtiniciopromocao":null,"dtfinalpromocao":null})";
  const std::string camiseta_list =
      R"({"idproduto":1,"produto":"Camiseta B\u00E1sica","referencia":"REF-1",)"
      R"("unmed":"un","grupo":"Camisetas","subgrupo":"Masculino","linha":null,)"
      R"("sublinha":null,"marca":"Norvessa","ncmcodigo":null,"cfop":null,)"
      R"("tributacao":null,"codbarras":"7890000000011","local":"Loja",)"
      R"("qtdestoque":94,"vlcompra":10.5,"vlcompracompra":10,"vlvenda":29.9,)"
      R"("vlpromocao":0,"vlvendaminimo":25,"pcmargemlucro":184.7619,"pcdespesas":10,)"
      R"("dtiniciopromocao":null,"dtfinalpromocao":null,"idgradetamanhocores":null,)"
      R"("tamanho":null,"cor":null,"codbarrastam":null,"quantidade":null,)"
      R"("condicaopagamento":"\u00C0 Vista","vlvendacondicao":28.5,)"
      R"("tamanhounico":"Adulto","corunica":"Azul"})";
  const Exchange cases[] = {
      {"GET", "/produtos/1", "", 200, camiseta_detail},
      {"GET", "/produtos/3", "", 200, kNenhumObj},
      {"GET", "/produtos/x", "", 200, kErro},
      {"GET", "/produtoslike/sica", "", 200, "[" + camiseta_detail + "]"},
      {"GET", "/produtoslike/camiseta%20b%C3%81s", "", 200,
       "[" + camiseta_detail + "]"},
      {"GET", "/produtoslike/nada", "", 200, kNenhum},
      {"POST", "/produtos",
       R"({"inicio":0,"quantidadereg":1,"nomeproduto":"CAMISETA"})", 200,
       "[" + camiseta_list + "]"},
      {"POST", "/produtos", R"({"produto":"camiseta"})", 200,
       "[" + camiseta_list + "]"},
      {"POST", "/produtos", "", 200, kErro},
      {"POST", "/produtos", R"({"inicio":0,"quantidadereg":0})", 200, kErro},
      {"POST", "/produtos-grupo",
       R"({"idgrupo":"","inicio":0,"quantidadereg":5})", 401,
       R"({"Result":"Sem Grupo!"})"},
      {"POST", "/produtos-grupo", R"({"inicio":0,"quantidadereg":5})", 404,
       R"({"Erro except":"Sem Grupo!"})"},
      {"POST", "/produtos-grupo", R"({"idgrupo":"2"})", 200, kErro},
      {"POST", "/produtos-grupo",
       R"({"idgrupo":"2","inicio":0,"quantidadereg":5})", 200,
       "[" + camiseta_list + "]"},
      {"POST", "/produtos-grupo",
       R"({"idgrupo":"4","inicio":0,"quantidadereg":5})", 200, kNenhum},
      {"GET", "/produtos", "", 405, "Method Not Allowed"},
      {"POST", "/produtos/5", "", 404, "Not Found"},
  };
  for (const Exchange& c : cases) Check(server, c);

  // A product with sizes and colours is listed once per combination.
  const auto calca = testing::Request(server.port(), "POST", "/produtos", kJson,
                                      R"({"produto":"Jeans"})");
  EXPECT_EQ(
      calca.body.find(R"("tamanho":"P","cor":"Azul")") != std::string::npos &&
          calca.body.find(R"("tamanho":"M","cor":"Preto")") !=
              std::string::npos,
      true)
      << calca.body;
}

std::string Inflate(const std::string& data) {
  z_stream s{};
  inflateInit2(&s, -15);
  std::string out;
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  s.avail_in = static_cast<uInt>(data.size());
  char buf[65536];
  int rc = Z_OK;
  while (rc == Z_OK) {
    s.next_out = reinterpret_cast<Bytef*>(buf);
    s.avail_out = sizeof buf;
    rc = inflate(&s, Z_NO_FLUSH);
    out.append(buf, sizeof buf - s.avail_out);
  }
  inflateEnd(&s);
  return out;
}

TEST(ResourcesHttpTest, PagedCompressedAndLogged) {
  testing::ResourceServer server;
  const auto paged = testing::Request(
      server.port(), "POST", "/grupos?limit=2&page=2",
      {{"Content-Type", "application/json"}, {"X-Paginate", "true"}},
      R"({"grupo":"Todos"})");
  EXPECT_EQ(paged.Header("Content-Type"), "application/json");
  EXPECT_EQ(
      paged.body,
      R"({"docs":[{"idgrupo":1,"grupo":"Cal\u00E7as"},{"idgrupo":2,"grupo":"Camisetas"}],)"
      R"("total":5,"limit":2,"page":2,"pages":3})");

  const auto plain = testing::Request(server.port(), "POST", "/produtos", kJson,
                                      R"({"produto":"Todos"})");
  const auto packed = testing::Request(
      server.port(), "POST", "/produtos",
      {{"Content-Type", "application/json"}, {"Accept-Encoding", "deflate"}},
      R"({"produto":"Todos"})");
  EXPECT_GT(plain.body.size(), 1024u);
  EXPECT_EQ(packed.Header("Content-Encoding"), "deflate");
  EXPECT_EQ(Inflate(packed.body), plain.body);

  const std::string log = server.LogText();
  std::size_t lines = 0;
  for (std::size_t p = 0; (p = log.find("\r\n", p)) != std::string::npos;
       p += 2) {
    ++lines;
  }
  EXPECT_EQ(lines, 3u);
  EXPECT_NE(log.find("\"POST /grupos\" 200\r\n"), std::string::npos) << log;
}

TEST(ResourcesHttpTest, AnSqlErrorGivesTheFailureAnswer) {
  testing::ResourceServer server;
  server.db().Exec("DROP TABLE Grupo; DROP TABLE Usuario;");
  Check(server, {"POST", "/grupos", R"({"grupo":"Todos"})", 200, kErro});
  Check(server, {"GET", "/usuarios", "", 404, kErro});
  Check(server, {"POST", "/autenticacao", R"({"usuario":"a","senha":"b"})", 404,
                 R"({"Erro except":"Usuario Sem Permissao!"})"});
}

}  // namespace
}  // namespace norvessa
