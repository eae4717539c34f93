select distinct P.IdPessoa, P.Pessoa as Cliente, P.CpfCnpj, P.Telefone, P.Fax, P.Celular,
E.Endereco as Rua, E.Numero, E.Bairro, E.Complemento, C.CEP, Ci.Cidade, U.Uf, Ci.Ibge as CodMunicipio,
P.Email from Pessoa P
left join Endereco E on (E.IdPessoa = P.IdPessoa)
left join Cep C on (C.IdCep = E.IdCep)
left join Cidade Ci on (Ci.IdCidade = C.IdCidade)
left join Uf U on (U.IdUf = Ci.IdUf)
where P.Situacao = 1
and E.TipoEndereco = 'N'
and P.Cliente = 1
and P.Pessoa <> ''
