select P.IdProduto, P.Produto, P.Referencia, U.UnMed, G.Grupo, SG.SubGrupo, L.Linha, SL.SubLinha, M.Marca, NCM.NcmCodigo, CFOP.CFOP,
TICMS.Tributacao, GD.NumCodBarra1 as CodBarras, LC.Local, (GE.QtdEstoque - GE.ReservaPed - GE.ReservaOS) as QtdEstoque, GV.VlCompra, GV.VlCompraCompra, GV.VlVenda, GV.VlPromocao,
GV.VlVendaMinimo, GV.PcMargemLucro, GV.PcDespesas, GV.DtInicioPromocao, GV.DtFinalPromocao,
GTC.IdGradeTamanhoCores, TI.Tamanho, Cor.Cor, GTC.NumCodBarra as CodBarrasTam, GTC.Quantidade,
CP.CondicaoPagamento, PP.VlVenda as VlVendaCondicao, TM.TAMANHO as TAMANHOUNICO, CORUNICA.Cor as CORUNICA from Produto P
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
join GradeEstoque GE on (GE.IdGrade = GD.IdGrade)
left join Local LC on (LC.IdLocal = GD.IdLocal)
left join GradeTamanho GT on (GT.IdProduto = GD.IdProduto)
left join GradeTamanhoCores GTC on (GTC.IdProduto = GD.IdProduto and GTC.IdGradeTamanho = GT.IdGradeTamanho)
left join Cor COR on (COR.IdCor = GTC.IdCor)
left join Cor CORUNICA on (CORUNICA.IdCor = GD.IdCor)
left join Tamanho TM on (TM.IdTamanho = GD.IdTamanho)
left join TamanhoItem TI on (TI.IdTamanhoItem = GT.IdTamanhoItem)
left join ProdutoPreco PP on (PP.IdProduto = P.IdProduto)
left join CondicaoPagamento CP on (CP.IdCondicaoPagamento = PP.IdCondicaoPagamento)
where P.Situacao = 1
