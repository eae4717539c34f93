select P.IdPessoa from Pessoa P inner join Funcionario F on F.IdPessoa = P.IdPessoa
and TRY_CONVERT(int, F.RegistroAux) = :registroaux