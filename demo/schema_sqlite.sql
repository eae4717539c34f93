-- The ERP tables and columns that APINorvessa reads and writes, for the
-- embedded database of the demo and the tests.
-- Declared types as the data layer maps them: INTEGER keys and flags,
-- VARCHAR(n) texts, NUMERIC(15,4) amounts and quantities, DATETIME dates
-- (stored as text 'yyyy-mm-dd hh:mm:ss[.fff]').
-- Column order matters where the service selects "P.*" (Produto).

CREATE TABLE Empresa (
  IdEmpresa           INTEGER PRIMARY KEY,
  NomeFantasia        VARCHAR(60)
);

-- users and permissions
CREATE TABLE Usuario (
  IdUsuario           INTEGER PRIMARY KEY,
  IdEmpresa           INTEGER,
  Usuario             VARCHAR(30),
  Senha               VARCHAR(30),
  Situacao            INTEGER
);
CREATE TABLE Perfil (
  IdPerfil            INTEGER PRIMARY KEY,
  Perfil              VARCHAR(40)
);
CREATE TABLE PerfilPermissao (
  IdUsuario           INTEGER,
  IdPerfil            INTEGER,
  Acessar             INTEGER,
  Incluir             INTEGER,
  Alterar             INTEGER,
  Visualizar          INTEGER
);
CREATE TABLE PerfilObjeto (
  IdPerfil            INTEGER,
  Acesso              VARCHAR(60)
);

-- product groups and products
CREATE TABLE Grupo (
  IdGrupo             INTEGER PRIMARY KEY,
  Grupo               VARCHAR(60),
  Situacao            INTEGER
);
CREATE TABLE SubGrupo (
  IdSubGrupo          INTEGER PRIMARY KEY,
  SubGrupo            VARCHAR(60)
);
CREATE TABLE UnMed (
  IdUnMed             INTEGER PRIMARY KEY,
  UnMed               VARCHAR(6)
);
CREATE TABLE Linha (
  IdLinha             INTEGER PRIMARY KEY,
  Linha               VARCHAR(60)
);
CREATE TABLE SubLinha (
  IdSubLinha          INTEGER PRIMARY KEY,
  SubLinha            VARCHAR(60)
);
CREATE TABLE Marca (
  IdMarca             INTEGER PRIMARY KEY,
  Marca               VARCHAR(60)
);
CREATE TABLE TabelaNcm (
  IdTbNcm             INTEGER PRIMARY KEY,
  NcmCodigo           VARCHAR(10)
);
CREATE TABLE NatOperacao (
  IdNatOperacao       INTEGER PRIMARY KEY,
  CFOP                VARCHAR(5)
);
CREATE TABLE TributacaoIcms (
  IdTributacaoICMS    INTEGER PRIMARY KEY,
  Tributacao          VARCHAR(60)
);
CREATE TABLE Produto (
  IdProduto           INTEGER PRIMARY KEY,
  Produto             VARCHAR(100),
  Referencia          VARCHAR(20),
  IdGrupo             INTEGER,
  IdSubGrupo          INTEGER,
  IdUnMed             INTEGER,
  IdLinha             INTEGER,
  IdSubLinha          INTEGER,
  IdMarca             INTEGER,
  IdTbNcm             INTEGER,
  IdNatOperacao       INTEGER,
  IdTributacaoICMS    INTEGER,
  Situacao            INTEGER
);
CREATE TABLE Local (
  IdLocal             INTEGER PRIMARY KEY,
  Local               VARCHAR(40)
);
CREATE TABLE Cor (
  IdCor               INTEGER PRIMARY KEY,
  Cor                 VARCHAR(30)
);
CREATE TABLE Tamanho (
  IdTamanho           INTEGER PRIMARY KEY,
  Tamanho             VARCHAR(20)
);
CREATE TABLE TamanhoItem (
  IdTamanhoItem       INTEGER PRIMARY KEY,
  Tamanho             VARCHAR(10)
);
CREATE TABLE Grade (
  IdGrade             INTEGER PRIMARY KEY,
  IdProduto           INTEGER,
  NumCodBarra1        VARCHAR(20),
  IdLocal             INTEGER,
  IdCor               INTEGER,
  IdTamanho           INTEGER
);
CREATE TABLE GradeValor (
  IdGrade             INTEGER PRIMARY KEY,
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
  IdGrade             INTEGER PRIMARY KEY,
  QtdEstoque          NUMERIC(15,4),
  ReservaPed          NUMERIC(15,4),
  ReservaOS           NUMERIC(15,4)
);
CREATE TABLE GradeTamanho (
  IdGradeTamanho      INTEGER PRIMARY KEY,
  IdProduto           INTEGER,
  IdTamanhoItem       INTEGER
);
CREATE TABLE GradeTamanhoCores (
  IdGradeTamanhoCores INTEGER PRIMARY KEY,
  IdProduto           INTEGER,
  IdGradeTamanho      INTEGER,
  IdCor               INTEGER,
  NumCodBarra         VARCHAR(20),
  Quantidade          NUMERIC(15,4)
);
CREATE TABLE CondicaoPagamento (
  IdCondicaoPagamento INTEGER PRIMARY KEY,
  CondicaoPagamento   VARCHAR(40)
);
CREATE TABLE ProdutoPreco (
  IdProduto           INTEGER,
  IdCondicaoPagamento INTEGER,
  VlVenda             NUMERIC(15,4),
  PRIMARY KEY (IdProduto, IdCondicaoPagamento)
);

-- places and persons
CREATE TABLE Uf (
  IdUf                INTEGER PRIMARY KEY,
  Uf                  VARCHAR(2),
  UfNome              VARCHAR(50),
  Situacao            INTEGER
);
CREATE TABLE Cidade (
  IdCidade            INTEGER PRIMARY KEY,
  Cidade              VARCHAR(60),
  IdUf                INTEGER,
  Ibge                INTEGER,
  Situacao            INTEGER
);
CREATE TABLE Cep (
  IdCep               INTEGER PRIMARY KEY,
  CEP                 VARCHAR(9),
  IdCidade            INTEGER
);
CREATE TABLE Pessoa (
  IdPessoa            INTEGER PRIMARY KEY,
  Pessoa              VARCHAR(100),
  CpfCnpj             VARCHAR(18),
  Telefone            VARCHAR(20),
  Fax                 VARCHAR(20),
  Celular             VARCHAR(20),
  Email               VARCHAR(100),
  Situacao            INTEGER,
  Cliente             INTEGER
);
CREATE TABLE Endereco (
  IdPessoa            INTEGER,
  Endereco            VARCHAR(100),
  Numero              VARCHAR(10),
  Bairro              VARCHAR(60),
  Complemento         VARCHAR(60),
  IdCep               INTEGER,
  TipoEndereco        VARCHAR(1)
);
CREATE TABLE Fisica (
  IdPessoa            INTEGER PRIMARY KEY,
  RegistroAux         VARCHAR(20)
);
CREATE TABLE Coleta (
  IdPessoa            INTEGER,
  ColetaAtual         INTEGER
);

-- orders
CREATE TABLE Pedido (
  IdPedido            INTEGER PRIMARY KEY AUTOINCREMENT,
  IdEmpresa           INTEGER,
  IdUsuario           INTEGER,
  Situacao            INTEGER,
  Status              VARCHAR(20),
  Origem              VARCHAR(10),
  DtEmissao           DATETIME,
  DtSaidaInicial      DATETIME,
  DtSaidaFinal        DATETIME,
  IdFiscalMovimento   INTEGER,
  NumPedido           VARCHAR(20),
  IdCliente           INTEGER,
  IdVendedor          INTEGER,
  PcAcrescimo         NUMERIC(15,4),
  PcDesconto          NUMERIC(15,4),
  VlTotalPedido       NUMERIC(15,4),
  Observacao          VARCHAR(255),
  DtCadastro          DATETIME DEFAULT (datetime('now', 'localtime'))
);
CREATE TABLE PedidoItem (
  IdPedidoItem        INTEGER PRIMARY KEY AUTOINCREMENT,
  IdEmpresa           INTEGER,
  IdUsuario           INTEGER,
  Situacao            INTEGER,
  IdPedido            INTEGER,
  NumDocEstoque       INTEGER,
  NumItem             INTEGER,
  IdProduto           INTEGER,
  NumCodBarrasUsado   VARCHAR(30),
  UnMed               VARCHAR(6),
  DescricaoItem       VARCHAR(120),
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
