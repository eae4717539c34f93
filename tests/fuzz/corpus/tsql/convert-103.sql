select Distinct P.IdPedido, CONVERT(Varchar(10), P.DtEmissao, 103) as DtEmissao,
CONVERT(Varchar(10), P.DtSaidaInicial, 103) as DtEntrega,
P.VlTotalPedido, P.Status from Pedido P
where P.Situacao = 1
order by P.IdPedido