select IdCidade, Cidade from Cidade
where Situacao = 1
order by Cidade
OFFSET 0 ROWS FETCH NEXT 10 ROWS ONLY