-- A small ERP for the resource tests (the schema comes from demo/).
INSERT INTO Empresa VALUES (1, 'Fixture Ltda');
INSERT INTO Usuario VALUES (1, 1, 'ADMIN', 'adm', 1), (2, 1, 'caixa1', 'c''1', 1),
  (3, 1, 'zeca', 'z', 0), (4, 2, 'Ana', 'a', 1);
INSERT INTO Perfil VALUES (1, 'Admin'), (2, 'Vendas');
INSERT INTO PerfilObjeto VALUES (1, 'Pedidos'), (1, 'Clientes'), (2, 'Pedidos');
INSERT INTO PerfilPermissao VALUES (1, 1, 1, 1, 1, 1), (2, 2, 0, 0, 0, 0),
  (4, 2, 1, 0, 0, 0);
INSERT INTO Grupo VALUES (1, 'Calças', 1), (2, 'Camisetas', 1), (3, 'Acessórios', 1),
  (4, 'Inativo', 0), (5, 'D''Ávila', 1), (6, '50%_off', 1);
INSERT INTO SubGrupo VALUES (1, 'Masculino');
INSERT INTO UnMed VALUES (1, 'un'), (2, 'KG');
INSERT INTO Marca VALUES (1, 'Norvessa');
INSERT INTO Local VALUES (1, 'Loja');
INSERT INTO Cor VALUES (1, 'Azul'), (2, 'Preto');
INSERT INTO Tamanho VALUES (1, 'Adulto');
INSERT INTO TamanhoItem VALUES (1, 'P'), (2, 'M');
INSERT INTO CondicaoPagamento VALUES (1, 'À Vista');
INSERT INTO Produto VALUES
  (1, 'Camiseta Básica', 'REF-1', 2, 1, 1, NULL, NULL, 1, NULL, NULL, NULL, 1),
  (2, 'Calça Jeans D''Ávila', 'REF-2', 1, NULL, 2, NULL, NULL, NULL, NULL, NULL, NULL, 1),
  (3, 'Camiseta Antiga', 'REF-3', 2, NULL, 1, NULL, NULL, NULL, NULL, NULL, NULL, 0),
  (4, 'Cinto 50%_off', 'REF-4', 3, NULL, 1, NULL, NULL, NULL, NULL, NULL, NULL, 1);
INSERT INTO Grade VALUES (1, 1, '7890000000011', 1, 1, 1), (2, 2, '7890000000028', 1, 2, 1),
  (3, 3, '7890000000035', 1, 1, 1), (4, 4, '7890000000042', NULL, NULL, NULL);
INSERT INTO GradeValor VALUES
  (1, 10.5, 10, 29.9, 0, 25, 184.7619, 10, NULL, NULL),
  (2, 40, 39.5, 99.9, 89.9, 90, 149.75, 12, '2026-12-01 00:00:00', '2026-12-31 23:59:00'),
  (3, 5, 5, 9.9, 0, 9, 98, 10, NULL, NULL),
  (4, 3, 3, 12.5, 0, 10, 316.6667, 5, NULL, NULL);
INSERT INTO GradeEstoque VALUES (1, 100, 5, 1), (2, 20, 0, 0), (3, 1, 0, 0), (4, 7.5, 0, 0);
INSERT INTO GradeTamanho VALUES (1, 2, 1), (2, 2, 2);
INSERT INTO GradeTamanhoCores VALUES (1, 2, 1, 1, '2000000000011', 3), (2, 2, 2, 2, '2000000000028', 4);
INSERT INTO ProdutoPreco VALUES (1, 1, 28.5);
INSERT INTO Uf VALUES (35, 'SP', 'São Paulo', 1), (33, 'RJ', 'Rio de Janeiro', 1);
INSERT INTO Cidade VALUES (1, 'São Paulo', 35, 3550308, 1), (2, 'Niterói', 33, 3303302, 1);
INSERT INTO Cep VALUES (1, '01001-000', 1), (2, '24020-000', 2);
INSERT INTO Pessoa VALUES
  (1, 'José da Silva', '111.111.111-11', '(11) 1111-1111', NULL, '(11) 91111-1111', 'jose@exemplo.com.br', 1, 1),
  (2, 'Maria D''Ávila', '222.222.222-22', NULL, NULL, NULL, NULL, 1, 1),
  (3, 'Ângela Souza', '333.333.333-33', NULL, NULL, NULL, NULL, 1, 1),
  (4, 'Fornecedor SA', '44.444.444/0001-44', NULL, NULL, NULL, NULL, 1, 0),
  (5, 'Inativa', NULL, NULL, NULL, NULL, NULL, 0, 1),
  (6, '', NULL, NULL, NULL, NULL, NULL, 1, 1),
  (7, 'Úrsula Nunes', '777.777.777-77', NULL, NULL, NULL, NULL, 1, 1);
INSERT INTO Endereco VALUES (1, 'Rua A', '10', 'Centro', NULL, 1, 'N'),
  (2, 'Rua B', '20', 'Icaraí', 'Apto 3', 2, 'N'), (3, 'Rua C', '30', 'Centro', NULL, 1, 'N'),
  (3, 'Rua Cobrança', '31', 'Centro', NULL, 1, 'C'), (4, 'Rua D', '40', 'Centro', NULL, 1, 'N'),
  (6, 'Rua F', '60', 'Centro', NULL, 1, 'N'), (7, 'Rua G', '70', 'Centro', NULL, 1, 'N');
-- Registrations are text: one with leading zeros, one that is no number.
INSERT INTO Fisica VALUES (1, '00123'), (3, NULL), (7, 'A-17');
INSERT INTO Coleta VALUES (1, 5), (1, 9), (2, 3);
INSERT INTO Produto VALUES
  (5, 'Produto sem Unidade', 'REF-5', 3, NULL, 9, NULL, NULL, NULL, NULL, NULL, NULL, 1);
INSERT INTO Pedido VALUES
  (1, 1, 1, 1, 'Aberto', 'APP', '2024-03-05 10:00:00', '2024-03-10 08:00:00', NULL, 0, '000001', 1, 0, 0, 0, 100.5, NULL, '2024-03-05 09:00:00'),
  (2, 1, 1, 1, 'Separado', 'LOJA', '2024-03-31 23:00:00', '2024-04-02 08:00:00', NULL, 0, '000002', 2, 0, 0, 0, 20, NULL, '2024-03-31 09:00:00'),
  (3, 1, 1, 1, 'Cancelado', 'LOJA', '2024-04-01 00:00:00', '2024-04-03 08:00:00', NULL, 0, '000003', 3, 0, 0, 0, 30, NULL, '2024-04-01 09:00:00'),
  (4, 1, 1, 1, 'Aberto', 'LOJA', '2021-05-01 10:00:00', '2021-05-03 08:00:00', NULL, 0, '000004', 1, 0, 0, 0, 40, NULL, '2021-05-01 09:00:00'),
  (5, 1, 1, 1, 'Faturado', 'LOJA', '2024-02-29 12:00:00', NULL, NULL, 0, '000005', 2, 0, 0, 0, 50, NULL, '2024-02-29 09:00:00'),
  (6, 1, 1, 0, 'Aberto', 'LOJA', '2024-03-06 10:00:00', '2024-03-08 08:00:00', NULL, 0, '000006', 1, 0, 0, 0, 60, NULL, '2024-03-06 09:00:00');
INSERT INTO PedidoItem VALUES
  (1, 1, 1, 1, 1, 0, 1, 1, '7890000000011', 'un', 'Camiseta Básica', 10, 29.9, 299, 0, 0, 8, 0),
  (2, 1, 1, 1, 1, 0, 2, 2, '7890000000028', 'KG', 'Calça Jeans', 2, 99.9, 199.8, 0, 0, 2, 1),
  (7, 1, 1, 0, 1, 0, 3, 2, '7890000000028', 'KG', 'Item Cancelado', 1, 1, 1, 0, 0, 0, 0),
  (3, 1, 1, 1, 2, 0, 1, 1, '7890000000011', 'un', 'Camiseta Básica', 1, 29.9, 29.9, 0, 0, 1, 0),
  (4, 1, 1, 1, 3, 0, 1, 4, '7890000000042', 'un', 'Cinto', 5, 12.5, 62.5, 0, 0, 0, 0),
  (5, 1, 1, 1, 4, 0, 1, 1, '7890000000011', 'un', 'Camiseta Antiga', 3, 9.9, 29.7, 0, 0, 0, 0),
  (6, 1, 1, 1, 5, 0, 1, 1, '7890000000011', 'un', 'Faturada', 1, 9.9, 9.9, 0, 0, 1, 1),
  (8, 1, 1, 1, 6, 0, 1, 1, '7890000000011', 'un', 'De pedido inativo', 4, 9.9, 39.6, 0, 0, 0, 0);
