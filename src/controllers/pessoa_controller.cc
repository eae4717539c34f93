#include "controllers/pessoa_controller.h"

#include <memory>

#include "controllers/controller_support.h"
#include "controllers/result_message.h"
#include "serialize/mem_table.h"

namespace norvessa {
namespace {

void AddCustomerLines(SqlLines& sql) {
  sql.Add(
         "select distinct P.IdPessoa, P.Pessoa as Cliente, P.CpfCnpj, "
         "P.Telefone, P.Fax, P.Celular,")
      .Add(
          "E.Endereco as Rua, E.Numero, E.Bairro, E.Complemento, C.CEP, "
          "Ci.Cidade, U.Uf, Ci.Ibge as CodMunicipio,")
      .Add("P.Email from Pessoa P")
      .Add("left join Endereco E on (E.IdPessoa = P.IdPessoa)")
      .Add("left join Cep C on (C.IdCep = E.IdCep)")
      .Add("left join Cidade Ci on (Ci.IdCidade = C.IdCidade)")
      .Add("left join Uf U on (U.IdUf = Ci.IdUf)")
      .Add("where P.Situacao = 1")
      .Add("and E.TipoEndereco = 'N'")
      .Add("and P.Cliente = 1")
      .Add("and P.Pessoa <> ''");
}

void AddResidentLines(SqlLines& sql) {
  sql.Add(
         "select distinct P.IdPessoa, P.Pessoa as Cliente, P.CpfCnpj, "
         "P.Telefone, P.Fax, P.Celular,")
      .Add(
          "E.Endereco as Rua, E.Numero, E.Bairro, E.Complemento, C.CEP, "
          "Ci.Cidade, U.Uf, Ci.Ibge as CodMunicipio, P.Email,")
      .Add(
          "(select MAX(COL.ColetaAtual) FROM Coleta as COL WHERE "
          "(P.IdPessoa = COL.IdPessoa)) As UltimaColeta,")
      .Add(
          "case when F.RegistroAux is not null then F.RegistroAux else '0' "
          "end as RegistroAux from Pessoa P")
      .Add("left join Endereco E on (E.IdPessoa = P.IdPessoa)")
      .Add("left join Cep C on (C.IdCep = E.IdCep)")
      .Add("left join Cidade Ci on (Ci.IdCidade = C.IdCidade)")
      .Add("left join Uf U on (U.IdUf = Ci.IdUf)")
      .Add("left join Fisica F on (F.IdPessoa = P.IdPessoa)")
      .Add("where P.Situacao = 1")
      .Add("and E.TipoEndereco = 'N'")
      .Add("and P.Cliente = 1")
      .Add("and P.Pessoa <> ''");
}

}  // namespace

void PessoaController::Registry(ApiCore& api, ConnectionPool& conexao) {
  const auto c = std::make_shared<PessoaController>(conexao);
  BindRoutes(api, {{MethodType::kPost, "/clientes",
                    BindHandler(c, &PessoaController::Clientes)},
                   {MethodType::kGet, "/moradores",
                    BindHandler(c, &PessoaController::Moradores)},
                   {MethodType::kGet, "/moradores/:registroaux",
                    BindHandler(c, &PessoaController::MoradorId)}});
}

void PessoaController::Clientes(ApiRequest& req, ApiResponse& res,
                                const std::function<void()>&) {
  MemTable body;
  RunHandler(
      conexao_, req, res, ResultArray(kErroExcept, kNenhumRegistro), 200,
      {.body = &body, .sql = [&](SqlLines& sql) {
         AddCustomerLines(sql);
         if (FieldIsFilled(body, "inicio")) {
           if (FieldIsFilled(body, "nomecliente")) {
             sql.Add(LikeFilterLine(
                 "P.Pessoa", body.FieldByName("nomecliente").AsString()));
           }
           sql.Add("order by P.Pessoa");
           AddPagingLine(sql, body.FieldByName("inicio").AsInteger(),
                         body.FieldByName("quantidadereg").AsInteger());
         } else {
           if (FieldIsFilled(body, "idcidade")) {
             AddComparedLine(sql, "and Ci.IdCidade = ",
                             body.FieldByName("idcidade").AsString());
           } else {
             const std::string cliente = body.FieldByName("cliente").AsString();
             if (!cliente.empty() && cliente != "Todos") {
               sql.Add(LikeFilterLine("P.Pessoa", cliente));
             }
           }
           sql.Add("order by P.Pessoa");
         }
       }});
}

void PessoaController::Moradores(ApiRequest& req, ApiResponse& res,
                                 const std::function<void()>&) {
  RunHandler(conexao_, req, res, ResultArray(kErroExcept, kNenhumRegistro), 200,
             {.sql = [](SqlLines& sql) {
               AddResidentLines(sql);
               sql.Add("order by P.Pessoa");
             }});
}

void PessoaController::MoradorId(ApiRequest& req, ApiResponse& res,
                                 const std::function<void()>&) {
  std::int32_t registro = 0;
  RunHandler(
      conexao_, req, res, ResultArray(kErroExcept, kNenhumRegistro), 200,
      {.prepare =
           [&] { registro = Int32Value(req.Params().Value("registroaux")); },
       .sql =
           [&](SqlLines& sql) {
             AddResidentLines(sql);
             // The registration is text: rows whose text is not a number do
             // not match (and fail nobody), and '00123' is 123.
             sql.Add("and TRY_CONVERT(int, F.RegistroAux) = ?",
                     {std::int64_t{registro}});
           },
       .shape = RowsShape::kFirstRow});
}

}  // namespace norvessa
