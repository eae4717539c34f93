#include "controllers/usuario_controller.h"

#include <memory>

#include "controllers/controller_support.h"
#include "controllers/result_message.h"
#include "db/unit_of_work.h"
#include "serialize/dataset_export.h"
#include "serialize/mem_table.h"

namespace norvessa {

void UsuarioController::Registry(ApiCore& api, ConnectionPool& conexao) {
  auto c = std::make_shared<UsuarioController>(conexao);
  api.Get("/usuarios", [c](ApiRequest& req, ApiResponse& res,
                           const std::function<void()>& next) {
    c->Usuarios(req, res, next);
  });
  api.Post("/autenticacao", [c](ApiRequest& req, ApiResponse& res,
                                const std::function<void()>& next) {
    c->Autenticacao(req, res, next);
  });
  api.Get("/permissoes/:idusuario", [c](ApiRequest& req, ApiResponse& res,
                                        const std::function<void()>& next) {
    c->Permissoes(req, res, next);
  });
}

void UsuarioController::Usuarios(ApiRequest& req, ApiResponse& res,
                                 const std::function<void()>&) {
  try {
    UnitOfWork uow(conexao_);
    Query qry(uow);
    qry.SQL()
        .Add("select IdEmpresa, IdUsuario, Usuario, Senha from Usuario")
        .Add("where Situacao = 1")
        .Add("order by Usuario");
    qry.Open();
    if (!qry.IsEmpty()) {
      res.SendJsonText(ToJSONArrayText(qry));
    } else {
      res.Send(ResultArray(kResult, kNenhumRegistro)).Status(401);
    }
  } catch (...) {
    LogGuardedFailure(req);
    res.Send(ResultArray(kErroExcept, kNenhumRegistro)).Status(404);
  }
}

void UsuarioController::Autenticacao(ApiRequest& req, ApiResponse& res,
                                     const std::function<void()>&) {
  MemTable body;
  LoadBody(req, body);
  try {
    if (body.FieldByName("usuario").AsString().empty()) {
      res.Send(ResultObject(kResult, "Usuario sem Permissao!")).Status(401);
      return;
    }
  } catch (...) {
    res.Send(ResultObject(kErroExcept, "Usuario Sem Permissao!")).Status(404);
    return;
  }
  try {
    UnitOfWork uow(conexao_);
    Query qry(uow);
    qry.SQL()
        .Add("select IdUsuario from Usuario where Situacao = 1")
        .Add("and Usuario = " + Quoted(body.FieldByName("usuario").AsString()))
        .Add("and Senha = " + Quoted(body.FieldByName("senha").AsString()));
    qry.Open();
    if (!qry.IsEmpty()) {
      res.Send(ResultObject(kResult, qry.FieldByName("IdUsuario").AsString()));
    } else {
      res.Send(ResultObject(kResult, "Usuario Sem Permissao!")).Status(401);
    }
  } catch (...) {
    LogGuardedFailure(req);
    res.Send(ResultObject(kErroExcept, "Usuario Sem Permissao!")).Status(404);
  }
}

void UsuarioController::Permissoes(ApiRequest& req, ApiResponse& res,
                                   const std::function<void()>&) {
  try {
    const std::string id = Int32Text(req.Params().Value("idusuario"));
    UnitOfWork uow(conexao_);
    Query qry(uow);
    qry.SQL()
        .Add("select U.IdEmpresa, U.IdUsuario, U.Usuario, U.Senha, PO.Acesso,")
        .Add(
            "Max(PP.Acessar) as Acessar, Max(PP.Incluir) as Incluir, "
            "Max(PP.Alterar) as Alterar,")
        .Add("Max(PP.Visualizar) as Visualizar From Usuario U")
        .Add("join PerfilPermissao PP on (PP.IdUsuario = U.IdUsuario)")
        .Add("join PerfilObjeto PO on (PO.IdPerfil = PP.IdPerfil)")
        .Add("join Perfil P on (PP.IdUsuario = U.IdUsuario)")
        .Add("where U.Situacao = 1")
        .Add(
            "and (PP.Acessar = 1 or PP.Incluir = 1 or PP.Alterar = 1 or "
            "PP.Visualizar = 1)")
        .Add("and U.IdUsuario = " + id)
        .Add("group by U.IdEmpresa, U.IdUsuario, U.Usuario, U.Senha, PO.Acesso")
        .Add("order by PO.Acesso");
    qry.Open();
    if (!qry.IsEmpty()) {
      res.SendJsonText(ToJSONArrayText(qry));
    } else {
      res.Send(ResultArray(kResult, kNenhumRegistro)).Status(401);
    }
  } catch (...) {
    LogGuardedFailure(req);
    res.Send(ResultArray(kErroExcept, kNenhumRegistro)).Status(404);
  }
}

}  // namespace norvessa
