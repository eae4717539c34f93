-- The ERP tables and columns that APINorvessa reads and writes, as T-SQL
-- for a SQL Server test database (the real ERP has many more columns).
-- Run it in an empty database:  sqlcmd -S host -d ERPTESTE -i schema_mssql.sql
-- Column order matters where the service selects "P.*" (Produto).

CREATE TABLE Empresa (
  IdEmpresa           INT PRIMARY KEY,
  NomeFantasia        NVARCHAR(60)
);

-- users and permissions
CREATE TABLE Usuario (
  IdUsuario           INT PRIMARY KEY,
  IdEmpresa           INT,
  Usuario             NVARCHAR(30),
  Senha               NVARCHAR(30),
  Situacao            INT
);
CREATE TABLE Perfil (
  IdPerfil            INT PRIMARY KEY,
  Perfil              NVARCHAR(40)
);
CREATE TABLE PerfilPermissao (
  IdUsuario           INT,
  IdPerfil            INT,
  Acessar             INT,
  Incluir             INT,
  Alterar             INT,
  Visualizar          INT
);
CREATE TABLE PerfilObjeto (
  IdPerfil            INT,
  Acesso              NVARCHAR(60)
);

-- product groups and products
CREATE TABLE Grupo (
  IdGrupo             INT PRIMARY KEY,
  Grupo               NVARCHAR(60),
  Situacao            INT
);
CREATE TABLE SubGrupo (
  IdSubGrupo          INT PRIMARY KEY,
  SubGrupo            NVARCHAR(60)
);
CREATE TABLE UnMed (
  IdUnMed             INT PRIMARY KEY,
  UnMed               NVARCHAR(6)
);
CREATE TABLE Linha (
  IdLinha             INT PRIMARY KEY,
  Linha               NVARCHAR(60)
);
CREATE TABLE SubLinha (
  IdSubLinha          INT PRIMARY KEY,
  SubLinha            NVARCHAR(60)
);
CREATE TABLE Marca (
  IdMarca             INT PRIMARY KEY,
  Marca               NVARCHAR(60)
);
CREATE TABLE TabelaNcm (
  IdTbNcm             INT PRIMARY KEY,
  NcmCodigo           NVARCHAR(10)
);
CREATE TABLE NatOperacao (
  IdNatOperacao       INT PRIMARY KEY,
  CFOP                NVARCHAR(5)
);
CREATE TABLE TributacaoIcms (
  IdTributacaoICMS    INT PRIMARY KEY,
  Tributacao          NVARCHAR(60)
);
CREATE TABLE Produto (
  IdProduto           INT PRIMARY KEY,
  Produto             NVARCHAR(100),
  Referencia          NVARCHAR(20),
  IdGrupo             INT,
  IdSubGrupo          INT,
  IdUnMed             INT,
  IdLinha             INT,
  IdSubLinha          INT,
  IdMarca             INT,
  IdTbNcm             INT,
  IdNatOperacao       INT,
  IdTributacaoICMS    INT,
  Situacao            INT
);
CREATE TABLE Local (
  IdLocal             INT PRIMARY KEY,
  Local               NVARCHAR(40)
);
CREATE TABLE Cor (
  IdCor               INT PRIMARY KEY,
  Cor                 NVARCHAR(30)
);
CREATE TABLE Tamanho (
  IdTamanho           INT PRIMARY KEY,
  Tamanho             NVARCHAR(20)
);
CREATE TABLE TamanhoItem (
  IdTamanhoItem       INT PRIMARY KEY,
  Tamanho             NVARCHAR(10)
);
CREATE TABLE Grade (
  IdGrade             INT PRIMARY KEY,
  IdProduto           INT,
  NumCodBarra1        NVARCHAR(20),
  IdLocal             INT,
  IdCor               INT,
  IdTamanho           INT
);
CREATE TABLE GradeValor (
  IdGrade             INT PRIMARY KEY,
  VlCompra            NUMERIC(15,4),
  VlCompraCompra      NUMERIC(15,4),
  VlVenda             NUMERIC(15,4),
  VlPromocao          NUMERIC(15,4),
  VlVendaMinimo       NUMERIC(15,4),
  PcMargemLucro       NUMERIC(15,4),
  PcDespesas          NUMERIC(15,4),
  DtInicioPromocao    DATETIME,
  DtFinalPromocao     DATETIME
);
CREATE TABLE GradeEstoque (
  IdGrade             INT PRIMARY KEY,
  QtdEstoque          NUMERIC(15,4),
  ReservaPed          NUMERIC(15,4),
  ReservaOS           NUMERIC(15,4)
);
CREATE TABLE GradeTamanho (
  IdGradeTamanho      INT PRIMARY KEY,
  IdProduto           INT,
  IdTamanhoItem       INT
);
CREATE TABLE GradeTamanhoCores (
  IdGradeTamanhoCores INT PRIMARY KEY,
  IdProduto           INT,
  IdGradeTamanho      INT,
  IdCor               INT,
  NumCodBarra         NVARCHAR(20),
  Quantidade          NUMERIC(15,4)
);
CREATE TABLE CondicaoPagamento (
  IdCondicaoPagamento INT PRIMARY KEY,
  CondicaoPagamento   NVARCHAR(40)
);
CREATE TABLE ProdutoPreco (
  IdProduto           INT,
  IdCondicaoPagamento INT,
  VlVenda             NUMERIC(15,4),
  PRIMARY KEY (IdProduto, IdCondicaoPagamento)
);

-- places and persons
CREATE TABLE Uf (
  IdUf                INT PRIMARY KEY,
  Uf                  NVARCHAR(2),
  UfNome              NVARCHAR(50),
  Situacao            INT
);
CREATE TABLE Cidade (
  IdCidade            INT PRIMARY KEY,
  Cidade              NVARCHAR(60),
  IdUf                INT,
  Ibge                INT,
  Situacao            INT
);
CREATE TABLE Cep (
  IdCep               INT PRIMARY KEY,
  CEP                 NVARCHAR(9),
  IdCidade            INT
);
CREATE TABLE Pessoa (
  IdPessoa            INT PRIMARY KEY,
  Pessoa              NVARCHAR(100),
  CpfCnpj             NVARCHAR(18),
  Telefone            NVARCHAR(20),
  Fax                 NVARCHAR(20),
  Celular             NVARCHAR(20),
  Email               NVARCHAR(100),
  Situacao            INT,
  Cliente             INT
);
CREATE TABLE Endereco (
  IdPessoa            INT,
  Endereco            NVARCHAR(100),
  Numero              NVARCHAR(10),
  Bairro              NVARCHAR(60),
  Complemento         NVARCHAR(60),
  IdCep               INT,
  TipoEndereco        NVARCHAR(1)
);
CREATE TABLE Fisica (
  IdPessoa            INT PRIMARY KEY,
  RegistroAux         NVARCHAR(20)
);
CREATE TABLE Coleta (
  IdPessoa            INT,
  ColetaAtual         INT
);

-- orders
CREATE TABLE Pedido (
  IdPedido            INT IDENTITY(1,1) PRIMARY KEY,
  IdEmpresa           INT,
  IdUsuario           INT,
  Situacao            INT,
  Status              NVARCHAR(20),
  Origem              NVARCHAR(10),
  DtEmissao           DATETIME,
  DtSaidaInicial      DATETIME,
  DtSaidaFinal        DATETIME,
  IdFiscalMovimento   INT,
  NumPedido           NVARCHAR(20),
  IdCliente           INT,
  IdVendedor          INT,
  PcAcrescimo         NUMERIC(15,4),
  PcDesconto          NUMERIC(15,4),
  VlTotalPedido       NUMERIC(15,4),
  Observacao          NVARCHAR(255),
  DtCadastro          DATETIME DEFAULT (GETDATE())
);
CREATE TABLE PedidoItem (
  IdPedidoItem        INT IDENTITY(1,1) PRIMARY KEY,
  IdEmpresa           INT,
  IdUsuario           INT,
  Situacao            INT,
  IdPedido            INT,
  NumDocEstoque       INT,
  NumItem             INT,
  IdProduto           INT,
  NumCodBarrasUsado   NVARCHAR(30),
  UnMed               NVARCHAR(6),
  DescricaoItem       NVARCHAR(120),
  Quantidade          NUMERIC(15,4),
  VlUnitario          NUMERIC(15,4),
  VlTotal             NUMERIC(15,4),
  PcDesconto          NUMERIC(15,4),
  PcAcrescimo         NUMERIC(15,4),
  QtdEntregue         NUMERIC(15,4) DEFAULT 0,
  QtdConferida        NUMERIC(15,4) DEFAULT 0
);

-- the keys the queries join and filter on
CREATE INDEX IX_Usuario_Situacao ON Usuario (Situacao);
CREATE INDEX IX_PerfilPermissao_Usuario ON PerfilPermissao (IdUsuario);
CREATE INDEX IX_PerfilObjeto_Perfil ON PerfilObjeto (IdPerfil);
CREATE INDEX IX_Produto_Grupo ON Produto (IdGrupo);
CREATE INDEX IX_Grade_Produto ON Grade (IdProduto);
CREATE INDEX IX_GradeTamanho_Produto ON GradeTamanho (IdProduto);
CREATE INDEX IX_GradeTamanhoCores_Produto ON GradeTamanhoCores (IdProduto, IdGradeTamanho);
CREATE INDEX IX_Cidade_Uf ON Cidade (IdUf);
CREATE INDEX IX_Cep_Cidade ON Cep (IdCidade);
CREATE INDEX IX_Endereco_Pessoa ON Endereco (IdPessoa);
CREATE INDEX IX_Coleta_Pessoa ON Coleta (IdPessoa);
CREATE INDEX IX_Pedido_Emissao ON Pedido (DtEmissao);
CREATE INDEX IX_Pedido_Cliente ON Pedido (IdCliente);
CREATE INDEX IX_PedidoItem_Pedido ON PedidoItem (IdPedido, IdPedidoItem);
