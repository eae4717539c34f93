#include "controllers/usuario_controller.h"

#include <memory>

#include "controllers/controller_support.h"
#include "controllers/result_message.h"
#include "serialize/mem_table.h"

namespace norvessa {

void UsuarioController::Registry(ApiCore& api, ConnectionPool& conexao) {
  const auto c = std::make_shared<UsuarioController>(conexao);
  BindRoutes(api, {{MethodType::kGet, "/usuarios",
                    BindHandler(c, &UsuarioController::Usuarios)},
                   {MethodType::kPost, "/autenticacao",
                    BindHandler(c, &UsuarioController::Autenticacao)},
                   {MethodType::kGet, "/permissoes/:idusuario",
                    BindHandler(c, &UsuarioController::Permissoes)}});
}

void UsuarioController::Usuarios(ApiRequest& req, ApiResponse& res,
                                 const std::function<void()>&) {
  RunHandler(conexao_, req, res, ResultArray(kErroExcept, kNenhumRegistro), 404,
             {.sql =
                  [](SqlLines& sql) {
                    sql.Add(
                           "select IdEmpresa, IdUsuario, Usuario, Senha from "
                           "Usuario")
                        .Add("where Situacao = 1")
                        .Add("order by Usuario");
                  },
              .empty_status = 401});
}

void UsuarioController::Autenticacao(ApiRequest& req, ApiResponse& res,
                                     const std::function<void()>&) {
  MemTable body;
  RunHandler(conexao_, req, res,
             ResultObject(kErroExcept, "Usuario Sem Permissao!"), 404,
             {.body = &body,
              .admit =
                  [&] {
                    return RequireFilled(body, "usuario", res,
                                         "Usuario sem Permissao!",
                                         "Usuario Sem Permissao!");
                  },
              .sql =
                  [&](SqlLines& sql) {
                    sql.Add("select IdUsuario from Usuario where Situacao = 1")
                        .Add("and Usuario = " +
                             Quoted(body.FieldByName("usuario").AsString()))
                        .Add("and Senha = " +
                             Quoted(body.FieldByName("senha").AsString()));
                  },
              // The user's key, or the refusal with 401.
              .answer =
                  [&](Query& qry) {
                    if (!qry.IsEmpty()) {
                      res.Send(ResultObject(
                          kResult, qry.FieldByName("IdUsuario").AsString()));
                    } else {
                      res.Send(ResultObject(kResult, "Usuario Sem Permissao!"))
                          .Status(401);
                    }
                  }});
}

void UsuarioController::Permissoes(ApiRequest& req, ApiResponse& res,
                                   const std::function<void()>&) {
  std::int32_t id = 0;
  RunHandler(
      conexao_, req, res, ResultArray(kErroExcept, kNenhumRegistro), 404,
      {.prepare = [&] { id = Int32Value(req.Params().Value("idusuario")); },
       .sql =
           [&](SqlLines& sql) {
             sql.Add(
                    "select U.IdEmpresa, U.IdUsuario, U.Usuario, U.Senha, "
                    "PO.Acesso,")
                 .Add(
                     "Max(PP.Acessar) as Acessar, Max(PP.Incluir) as Incluir, "
                     "Max(PP.Alterar) as Alterar,")
                 .Add("Max(PP.Visualizar) as Visualizar From Usuario U")
                 .Add("join PerfilPermissao PP on (PP.IdUsuario = U.IdUsuario)")
                 .Add("join PerfilObjeto PO on (PO.IdPerfil = PP.IdPerfil)")
                 .Add("join Perfil P on (PP.IdUsuario = U.IdUsuario)")
                 .Add("where U.Situacao = 1")
                 .Add(
                     "and (PP.Acessar = 1 or PP.Incluir = 1 or PP.Alterar = 1 "
                     "or PP.Visualizar = 1)")
                 .Add("and U.IdUsuario = ?", {std::int64_t{id}})
                 .Add(
                     "group by U.IdEmpresa, U.IdUsuario, U.Usuario, U.Senha, "
                     "PO.Acesso")
                 .Add("order by PO.Acesso");
           },
       .empty_status = 401});
}

}  // namespace norvessa
