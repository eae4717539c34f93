select U.IdEmpresa, U.IdUsuario, U.Usuario, U.Senha, PO.Acesso,
Max(PP.Acessar) as Acessar, Max(PP.Incluir) as Incluir, Max(PP.Alterar) as Alterar,
Max(PP.Visualizar) as Visualizar From Usuario U
join PerfilPermissao PP on (PP.IdUsuario = U.IdUsuario)
join PerfilObjeto PO on (PO.IdPerfil = PP.IdPerfil)
join Perfil P on (PP.IdUsuario = U.IdUsuario)
where U.Situacao = 1
and (PP.Acessar = 1 or PP.Incluir = 1 or PP.Alterar = 1 or PP.Visualizar = 1)
and U.IdUsuario = ?
group by U.IdEmpresa, U.IdUsuario, U.Usuario, U.Senha, PO.Acesso
order by PO.Acesso
