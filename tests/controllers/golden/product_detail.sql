select P.*, G.Grupo, U.UnMed, SG.SubGrupo, L.Linha, SL.SubLinha, M.Marca, NCM.NcmCodigo, CFOP.CFOP,
TICMS.Tributacao, GD.NumCodBarra1, LC.Local, GV.VlCompra, GV.VlCompraCompra, GV.VlVenda, GV.VlPromocao, GV.VlVendaMinimo,
GV.PcMargemLucro, GV.PcDespesas, GV.DtInicioPromocao, GV.DtFinalPromocao from Produto P
join Grupo G on (G.IdGrupo = P.IdGrupo)
left join SubGrupo SG on (SG.IdSubGrupo = P.IdSubGrupo)
join UnMed U on (U.IdUnMed = P.IdUnMed)
left join Linha L on (L.IdLinha = P.IdLinha)
left join SubLinha SL on (SL.IdSubLinha = P.IdSubLinha)
left join Marca M on (M.IdMarca = P.IdMarca)
left join TabelaNcm NCM on (NCM.IdTbNcm = P.IdTbNcm)
left join NatOperacao CFOP on (CFOP.IdNatOperacao = P.IdNatOperacao)
left join TributacaoIcms TICMS on (TICMS.IdTributacaoICMS = P.IdTributacaoICMS)
join Grade GD on (GD.IdProduto = P.IdProduto)
join GradeValor GV on (GV.IdGrade = GD.IdGrade)
left join Local LC on (LC.IdLocal = GD.IdLocal)
where P.Situacao = 1
