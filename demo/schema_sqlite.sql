-- The ERP tables and columns that APINorvessa reads and writes, for the
-- embedded database of the demo and the tests.
-- Declared types as the data layer maps them: INTEGER keys and flags,
-- VARCHAR(n) texts, NUMERIC(15,4) amounts and quantities, DATETIME dates
-- (stored as text 'yyyy-mm-dd hh:mm:ss[.fff]').
-- Each column refuses what SQL Server's type refuses: text longer than its
-- length, amounts beyond NUMERIC(15,4), dates outside datetime's range
-- (1753-01-01 to 9999-12-31) and, in the order tables the service writes,
-- integers beyond int. Items refer to their order (every connection turns
-- foreign keys on).
-- Column order matters where the service selects "P.*" (Produto).

CREATE TABLE Empresa (
  IdEmpresa           INTEGER PRIMARY KEY,
  NomeFantasia        VARCHAR(60) CHECK (length(NomeFantasia) <= 60)
);

-- users and permissions
CREATE TABLE Usuario (
  IdUsuario           INTEGER PRIMARY KEY,
  IdEmpresa           INTEGER,
  Usuario             VARCHAR(30) CHECK (length(Usuario) <= 30),
  Senha               VARCHAR(30) CHECK (length(Senha) <= 30),
  Situacao            INTEGER
);
CREATE TABLE Perfil (
  IdPerfil            INTEGER PRIMARY KEY,
  Perfil              VARCHAR(40) CHECK (length(Perfil) <= 40)
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
  Acesso              VARCHAR(60) CHECK (length(Acesso) <= 60)
);

-- product groups and products
CREATE TABLE Grupo (
  IdGrupo             INTEGER PRIMARY KEY,
  Grupo               VARCHAR(60) CHECK (length(Grupo) <= 60),
  Situacao            INTEGER
);
CREATE TABLE SubGrupo (
  IdSubGrupo          INTEGER PRIMARY KEY,
  SubGrupo            VARCHAR(60) CHECK (length(SubGrupo) <= 60)
);
CREATE TABLE UnMed (
  IdUnMed             INTEGER PRIMARY KEY,
  UnMed               VARCHAR(6) CHECK (length(UnMed) <= 6)
);
CREATE TABLE Linha (
  IdLinha             INTEGER PRIMARY KEY,
  Linha               VARCHAR(60) CHECK (length(Linha) <= 60)
);
CREATE TABLE SubLinha (
  IdSubLinha          INTEGER PRIMARY KEY,
  SubLinha            VARCHAR(60) CHECK (length(SubLinha) <= 60)
);
CREATE TABLE Marca (
  IdMarca             INTEGER PRIMARY KEY,
  Marca               VARCHAR(60) CHECK (length(Marca) <= 60)
);
CREATE TABLE TabelaNcm (
  IdTbNcm             INTEGER PRIMARY KEY,
  NcmCodigo           VARCHAR(10) CHECK (length(NcmCodigo) <= 10)
);
CREATE TABLE NatOperacao (
  IdNatOperacao       INTEGER PRIMARY KEY,
  CFOP                VARCHAR(5) CHECK (length(CFOP) <= 5)
);
CREATE TABLE TributacaoIcms (
  IdTributacaoICMS    INTEGER PRIMARY KEY,
  Tributacao          VARCHAR(60) CHECK (length(Tributacao) <= 60)
);
CREATE TABLE Produto (
  IdProduto           INTEGER PRIMARY KEY,
  Produto             VARCHAR(100) CHECK (length(Produto) <= 100),
  Referencia          VARCHAR(20) CHECK (length(Referencia) <= 20),
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
  Local               VARCHAR(40) CHECK (length(Local) <= 40)
);
CREATE TABLE Cor (
  IdCor               INTEGER PRIMARY KEY,
  Cor                 VARCHAR(30) CHECK (length(Cor) <= 30)
);
CREATE TABLE Tamanho (
  IdTamanho           INTEGER PRIMARY KEY,
  Tamanho             VARCHAR(20) CHECK (length(Tamanho) <= 20)
);
CREATE TABLE TamanhoItem (
  IdTamanhoItem       INTEGER PRIMARY KEY,
  Tamanho             VARCHAR(10) CHECK (length(Tamanho) <= 10)
);
CREATE TABLE Grade (
  IdGrade             INTEGER PRIMARY KEY,
  IdProduto           INTEGER,
  NumCodBarra1        VARCHAR(20) CHECK (length(NumCodBarra1) <= 20),
  IdLocal             INTEGER,
  IdCor               INTEGER,
  IdTamanho           INTEGER
);
CREATE TABLE GradeValor (
  IdGrade             INTEGER PRIMARY KEY,
  VlCompra            NUMERIC(15,4)
                      CHECK (VlCompra BETWEEN -99999999999.9999 AND 99999999999.9999),
  VlCompraCompra      NUMERIC(15,4)
                      CHECK (VlCompraCompra BETWEEN -99999999999.9999 AND 99999999999.9999),
  VlVenda             NUMERIC(15,4)
                      CHECK (VlVenda BETWEEN -99999999999.9999 AND 99999999999.9999),
  VlPromocao          NUMERIC(15,4)
                      CHECK (VlPromocao BETWEEN -99999999999.9999 AND 99999999999.9999),
  VlVendaMinimo       NUMERIC(15,4)
                      CHECK (VlVendaMinimo BETWEEN -99999999999.9999 AND 99999999999.9999),
  PcMargemLucro       NUMERIC(15,4)
                      CHECK (PcMargemLucro BETWEEN -99999999999.9999 AND 99999999999.9999),
  PcDespesas          NUMERIC(15,4)
                      CHECK (PcDespesas BETWEEN -99999999999.9999 AND 99999999999.9999),
  DtInicioPromocao    DATETIME
                      CHECK (DtInicioPromocao BETWEEN '1753-01-01' AND '9999-12-31 23:59:59.997'),
  DtFinalPromocao     DATETIME
                      CHECK (DtFinalPromocao BETWEEN '1753-01-01' AND '9999-12-31 23:59:59.997')
);
CREATE TABLE GradeEstoque (
  IdGrade             INTEGER PRIMARY KEY,
  QtdEstoque          NUMERIC(15,4)
                      CHECK (QtdEstoque BETWEEN -99999999999.9999 AND 99999999999.9999),
  ReservaPed          NUMERIC(15,4)
                      CHECK (ReservaPed BETWEEN -99999999999.9999 AND 99999999999.9999),
  ReservaOS           NUMERIC(15,4)
                      CHECK (ReservaOS BETWEEN -99999999999.9999 AND 99999999999.9999)
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
  NumCodBarra         VARCHAR(20) CHECK (length(NumCodBarra) <= 20),
  Quantidade          NUMERIC(15,4)
                      CHECK (Quantidade BETWEEN -99999999999.9999 AND 99999999999.9999)
);
CREATE TABLE CondicaoPagamento (
  IdCondicaoPagamento INTEGER PRIMARY KEY,
  CondicaoPagamento   VARCHAR(40) CHECK (length(CondicaoPagamento) <= 40)
);
CREATE TABLE ProdutoPreco (
  IdProduto           INTEGER,
  IdCondicaoPagamento INTEGER,
  VlVenda             NUMERIC(15,4)
                      CHECK (VlVenda BETWEEN -99999999999.9999 AND 99999999999.9999),
  PRIMARY KEY (IdProduto, IdCondicaoPagamento)
);

-- places and persons
CREATE TABLE Uf (
  IdUf                INTEGER PRIMARY KEY,
  Uf                  VARCHAR(2) CHECK (length(Uf) <= 2),
  UfNome              VARCHAR(50) CHECK (length(UfNome) <= 50),
  Situacao            INTEGER
);
CREATE TABLE Cidade (
  IdCidade            INTEGER PRIMARY KEY,
  Cidade              VARCHAR(60) CHECK (length(Cidade) <= 60),
  IdUf                INTEGER,
  Ibge                INTEGER,
  Situacao            INTEGER
);
CREATE TABLE Cep (
  IdCep               INTEGER PRIMARY KEY,
  CEP                 VARCHAR(9) CHECK (length(CEP) <= 9),
  IdCidade            INTEGER
);
CREATE TABLE Pessoa (
  IdPessoa            INTEGER PRIMARY KEY,
  Pessoa              VARCHAR(100) CHECK (length(Pessoa) <= 100),
  CpfCnpj             VARCHAR(18) CHECK (length(CpfCnpj) <= 18),
  Telefone            VARCHAR(20) CHECK (length(Telefone) <= 20),
  Fax                 VARCHAR(20) CHECK (length(Fax) <= 20),
  Celular             VARCHAR(20) CHECK (length(Celular) <= 20),
  Email               VARCHAR(100) CHECK (length(Email) <= 100),
  Situacao            INTEGER,
  Cliente             INTEGER
);
CREATE TABLE Endereco (
  IdPessoa            INTEGER,
  Endereco            VARCHAR(100) CHECK (length(Endereco) <= 100),
  Numero              VARCHAR(10) CHECK (length(Numero) <= 10),
  Bairro              VARCHAR(60) CHECK (length(Bairro) <= 60),
  Complemento         VARCHAR(60) CHECK (length(Complemento) <= 60),
  IdCep               INTEGER,
  TipoEndereco        VARCHAR(1) CHECK (length(TipoEndereco) <= 1)
);
CREATE TABLE Fisica (
  IdPessoa            INTEGER PRIMARY KEY,
  RegistroAux         VARCHAR(20) CHECK (length(RegistroAux) <= 20)
);
CREATE TABLE Coleta (
  IdPessoa            INTEGER,
  ColetaAtual         INTEGER
);

-- orders
CREATE TABLE Pedido (
  IdPedido            INTEGER PRIMARY KEY AUTOINCREMENT,
  IdEmpresa           INTEGER
                      CHECK (IdEmpresa BETWEEN -2147483648 AND 2147483647),
  IdUsuario           INTEGER
                      CHECK (IdUsuario BETWEEN -2147483648 AND 2147483647),
  Situacao            INTEGER
                      CHECK (Situacao BETWEEN -2147483648 AND 2147483647),
  Status              VARCHAR(20) CHECK (length(Status) <= 20),
  Origem              VARCHAR(10) CHECK (length(Origem) <= 10),
  DtEmissao           DATETIME
                      CHECK (DtEmissao BETWEEN '1753-01-01' AND '9999-12-31 23:59:59.997'),
  DtSaidaInicial      DATETIME
                      CHECK (DtSaidaInicial BETWEEN '1753-01-01' AND '9999-12-31 23:59:59.997'),
  DtSaidaFinal        DATETIME
                      CHECK (DtSaidaFinal BETWEEN '1753-01-01' AND '9999-12-31 23:59:59.997'),
  IdFiscalMovimento   INTEGER
                      CHECK (IdFiscalMovimento BETWEEN -2147483648 AND 2147483647),
  NumPedido           VARCHAR(20) CHECK (length(NumPedido) <= 20),
  IdCliente           INTEGER
                      CHECK (IdCliente BETWEEN -2147483648 AND 2147483647),
  IdVendedor          INTEGER
                      CHECK (IdVendedor BETWEEN -2147483648 AND 2147483647),
  PcAcrescimo         NUMERIC(15,4)
                      CHECK (PcAcrescimo BETWEEN -99999999999.9999 AND 99999999999.9999),
  PcDesconto          NUMERIC(15,4)
                      CHECK (PcDesconto BETWEEN -99999999999.9999 AND 99999999999.9999),
  VlTotalPedido       NUMERIC(15,4)
                      CHECK (VlTotalPedido BETWEEN -99999999999.9999 AND 99999999999.9999),
  Observacao          VARCHAR(255) CHECK (length(Observacao) <= 255),
  DtCadastro          DATETIME DEFAULT (datetime('now', 'localtime'))
                      CHECK (DtCadastro BETWEEN '1753-01-01' AND '9999-12-31 23:59:59.997')
);
CREATE TABLE PedidoItem (
  IdPedidoItem        INTEGER PRIMARY KEY AUTOINCREMENT,
  IdEmpresa           INTEGER
                      CHECK (IdEmpresa BETWEEN -2147483648 AND 2147483647),
  IdUsuario           INTEGER
                      CHECK (IdUsuario BETWEEN -2147483648 AND 2147483647),
  Situacao            INTEGER
                      CHECK (Situacao BETWEEN -2147483648 AND 2147483647),
  IdPedido            INTEGER REFERENCES Pedido (IdPedido),
  NumDocEstoque       INTEGER
                      CHECK (NumDocEstoque BETWEEN -2147483648 AND 2147483647),
  NumItem             INTEGER
                      CHECK (NumItem BETWEEN -2147483648 AND 2147483647),
  IdProduto           INTEGER
                      CHECK (IdProduto BETWEEN -2147483648 AND 2147483647),
  NumCodBarrasUsado   VARCHAR(30) CHECK (length(NumCodBarrasUsado) <= 30),
  UnMed               VARCHAR(6) CHECK (length(UnMed) <= 6),
  DescricaoItem       VARCHAR(120) CHECK (length(DescricaoItem) <= 120),
  Quantidade          NUMERIC(15,4)
                      CHECK (Quantidade BETWEEN -99999999999.9999 AND 99999999999.9999),
  VlUnitario          NUMERIC(15,4)
                      CHECK (VlUnitario BETWEEN -99999999999.9999 AND 99999999999.9999),
  VlTotal             NUMERIC(15,4)
                      CHECK (VlTotal BETWEEN -99999999999.9999 AND 99999999999.9999),
  PcDesconto          NUMERIC(15,4)
                      CHECK (PcDesconto BETWEEN -99999999999.9999 AND 99999999999.9999),
  PcAcrescimo         NUMERIC(15,4)
                      CHECK (PcAcrescimo BETWEEN -99999999999.9999 AND 99999999999.9999),
  QtdEntregue         NUMERIC(15,4) DEFAULT 0
                      CHECK (QtdEntregue BETWEEN -99999999999.9999 AND 99999999999.9999),
  QtdConferida        NUMERIC(15,4) DEFAULT 0
                      CHECK (QtdConferida BETWEEN -99999999999.9999 AND 99999999999.9999)
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
