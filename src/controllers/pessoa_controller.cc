#include "controllers/pessoa_controller.h"

#include <memory>

#include "controllers/controller_support.h"
#include "controllers/result_message.h"
#include "db/unit_of_work.h"
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
  auto c = std::make_shared<PessoaController>(conexao);
  api.Post("/clientes", [c](ApiRequest& req, ApiResponse& res,
                            const std::function<void()>& next) {
    c->Clientes(req, res, next);
  });
  api.Get("/moradores", [c](ApiRequest& req, ApiResponse& res,
                            const std::function<void()>& next) {
    c->Moradores(req, res, next);
  });
  api.Get("/moradores/:registroaux", [c](ApiRequest& req, ApiResponse& res,
                                         const std::function<void()>& next) {
    c->MoradorId(req, res, next);
  });
}

void PessoaController::Clientes(ApiRequest& req, ApiResponse& res,
                                const std::function<void()>&) {
  MemTable body;
  LoadBody(req, body);
  const bool limite_registros = FieldIsFilled(body, "inicio");
  const bool tem_pesquisa = FieldIsFilled(body, "nomecliente");
  const bool tem_cidade = FieldIsFilled(body, "idcidade");
  try {
    UnitOfWork uow(conexao_);
    Query qry(uow);
    AddCustomerLines(qry.SQL());
    if (limite_registros) {
      if (tem_pesquisa) {
        qry.SQL().Add(LikeFilterLine(
            "P.Pessoa", body.FieldByName("nomecliente").AsString()));
      }
      qry.SQL().Add("order by P.Pessoa");
      qry.SQL().Add(PagingLine(body.FieldByName("inicio").AsInteger(),
                               body.FieldByName("quantidadereg").AsInteger()));
    } else {
      if (tem_cidade && !body.FieldByName("idcidade").AsString().empty()) {
        qry.SQL().Add("and Ci.IdCidade = " +
                      Quoted(body.FieldByName("idcidade").AsString()));
      } else {
        const std::string cliente = body.FieldByName("cliente").AsString();
        if (!cliente.empty() && cliente != "Todos") {
          qry.SQL().Add(LikeFilterLine("P.Pessoa", cliente));
        }
      }
      qry.SQL().Add("order by P.Pessoa");
    }
    qry.Open();
    AnswerRows(qry, res);
  } catch (...) {
    LogGuardedFailure(req);
    res.Send(ResultArray(kErroExcept, kNenhumRegistro));
  }
}

void PessoaController::Moradores(ApiRequest& req, ApiResponse& res,
                                 const std::function<void()>&) {
  try {
    UnitOfWork uow(conexao_);
    Query qry(uow);
    AddResidentLines(qry.SQL());
    qry.SQL().Add("order by P.Pessoa");
    qry.Open();
    AnswerRows(qry, res);
  } catch (...) {
    LogGuardedFailure(req);
    res.Send(ResultArray(kErroExcept, kNenhumRegistro));
  }
}

void PessoaController::MoradorId(ApiRequest& req, ApiResponse& res,
                                 const std::function<void()>&) {
  try {
    const std::string registro = Int32Text(req.Params().Value("registroaux"));
    UnitOfWork uow(conexao_);
    Query qry(uow);
    AddResidentLines(qry.SQL());
    // The registration is text: rows whose text is not a number do not
    // match (and fail nobody), and '00123' is 123.
    qry.SQL().Add("and TRY_CONVERT(int, F.RegistroAux) = " + registro);
    qry.Open();
    AnswerRow(qry, res);
  } catch (...) {
    LogGuardedFailure(req);
    res.Send(ResultArray(kErroExcept, kNenhumRegistro));
  }
}

}  // namespace norvessa
