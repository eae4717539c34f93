// Builds the demo database: the schema, then believable Brazilian ERP data
// (companies, users with permissions, states and cities, customers with
// addresses, product groups, products with grades, sizes, colours, prices
// and stock, and orders in every picking and checking state). The data is
// the same on every run.
//
// Usage: norvessa-demo-seed SCHEMA.sql OUTPUT.db

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace {

constexpr int kCustomers = 5000;
constexpr int kProducts = 3000;
constexpr int kOrders = 4000;

// splitmix64: small, fast and the same everywhere.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  int Int(int lo, int hi) {  // inclusive
    return lo + static_cast<int>(Next() % static_cast<std::uint64_t>(hi - lo + 1));
  }
  bool Chance(int percent) { return Int(1, 100) <= percent; }
  template <typename T, std::size_t N>
  const T& Pick(const std::array<T, N>& items) {
    return items[static_cast<std::size_t>(Int(0, static_cast<int>(N) - 1))];
  }

 private:
  std::uint64_t state_;
};

using Value = std::variant<std::monostate, long long, double, std::string>;

class Db {
 public:
  explicit Db(const std::string& path) {
    std::remove(path.c_str());
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
      throw std::runtime_error("cannot create " + path);
    }
  }
  ~Db() { sqlite3_close(db_); }

  void Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      const std::string message = error ? error : "error";
      sqlite3_free(error);
      throw std::runtime_error(message);
    }
  }

  void Insert(const std::string& table, const std::vector<Value>& values) {
    std::string sql = "insert into " + table + " values (";
    for (std::size_t i = 0; i < values.size(); ++i) sql += i ? ",?" : "?";
    sql += ")";
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      throw std::runtime_error(sqlite3_errmsg(db_));
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
      const int n = static_cast<int>(i + 1);
      if (const auto* v = std::get_if<long long>(&values[i])) {
        sqlite3_bind_int64(stmt, n, *v);
      } else if (const auto* d = std::get_if<double>(&values[i])) {
        sqlite3_bind_double(stmt, n, *d);
      } else if (const auto* s = std::get_if<std::string>(&values[i])) {
        sqlite3_bind_text(stmt, n, s->c_str(), -1, SQLITE_TRANSIENT);
      }
    }
    const int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db_));
  }

 private:
  sqlite3* db_ = nullptr;
};

Value Null() { return std::monostate{}; }
Value I(long long v) { return v; }
Value D(double v) { return v; }
Value S(std::string v) { return v; }

std::string Pad(long long v, int width) {
  std::string s = std::to_string(v);
  return std::string(static_cast<std::size_t>(width > static_cast<int>(s.size()) ? width - static_cast<int>(s.size()) : 0), '0') + s;
}

std::string Date(int year, int month, int day, int hour = 0, int minute = 0) {
  return Pad(year, 4) + "-" + Pad(month, 2) + "-" + Pad(day, 2) + " " +
         Pad(hour, 2) + ":" + Pad(minute, 2) + ":00";
}

// A day counted from 2021-01-01, as a date text.
std::string DayText(int offset, int hour, int minute) {
  static constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30,
                                       31, 31, 30, 31, 30, 31};
  int year = 2021;
  int day = offset;
  while (true) {
    const bool leap = year % 4 == 0;
    const int days = leap ? 366 : 365;
    if (day < days) break;
    day -= days;
    ++year;
  }
  int month = 0;
  while (true) {
    const int len = kMonthDays[month] + (month == 1 && year % 4 == 0 ? 1 : 0);
    if (day < len) break;
    day -= len;
    ++month;
  }
  return Date(year, month + 1, day + 1, hour, minute);
}

double Money(double v) {
  return static_cast<double>(static_cast<long long>(v * 100 + 0.5)) / 100;
}

struct State {
  int id;
  const char* uf;
  const char* name;
  std::vector<const char*> cities;
};

const std::vector<State>& States() {
  static const std::vector<State> states = {
      {12, "AC", "Acre", {"Rio Branco", "Cruzeiro do Sul"}},
      {27, "AL", "Alagoas", {"Maceió", "Arapiraca", "Palmeira dos Índios"}},
      {16, "AP", "Amapá", {"Macapá", "Santana"}},
      {13, "AM", "Amazonas", {"Manaus", "Parintins", "Itacoatiara"}},
      {29, "BA", "Bahia", {"Salvador", "Feira de Santana", "Vitória da Conquista", "Ilhéus", "Itabuna"}},
      {23, "CE", "Ceará", {"Fortaleza", "Caucaia", "Juazeiro do Norte", "Sobral"}},
      {53, "DF", "Distrito Federal", {"Brasília"}},
      {32, "ES", "Espírito Santo", {"Vitória", "Vila Velha", "Serra", "Cachoeiro de Itapemirim"}},
      {52, "GO", "Goiás", {"Goiânia", "Anápolis", "Aparecida de Goiânia", "Rio Verde"}},
      {21, "MA", "Maranhão", {"São Luís", "Imperatriz", "Caxias"}},
      {51, "MT", "Mato Grosso", {"Cuiabá", "Várzea Grande", "Rondonópolis", "Sinop"}},
      {50, "MS", "Mato Grosso do Sul", {"Campo Grande", "Dourados", "Três Lagoas"}},
      {31, "MG", "Minas Gerais", {"Belo Horizonte", "Uberlândia", "Contagem", "Juiz de Fora", "Montes Claros", "Ipatinga", "Poços de Caldas"}},
      {15, "PA", "Pará", {"Belém", "Ananindeua", "Santarém", "Marabá"}},
      {25, "PB", "Paraíba", {"João Pessoa", "Campina Grande", "Patos"}},
      {41, "PR", "Paraná", {"Curitiba", "Londrina", "Maringá", "Ponta Grossa", "Cascavel", "Foz do Iguaçu"}},
      {26, "PE", "Pernambuco", {"Recife", "Jaboatão dos Guararapes", "Olinda", "Caruaru", "Petrolina"}},
      {22, "PI", "Piauí", {"Teresina", "Parnaíba", "Picos"}},
      {33, "RJ", "Rio de Janeiro", {"Rio de Janeiro", "Niterói", "Duque de Caxias", "Nova Iguaçu", "Petrópolis", "Volta Redonda"}},
      {24, "RN", "Rio Grande do Norte", {"Natal", "Mossoró", "Parnamirim"}},
      {43, "RS", "Rio Grande do Sul", {"Porto Alegre", "Caxias do Sul", "Pelotas", "Canoas", "Santa Maria", "Passo Fundo"}},
      {11, "RO", "Rondônia", {"Porto Velho", "Ji-Paraná"}},
      {14, "RR", "Roraima", {"Boa Vista"}},
      {42, "SC", "Santa Catarina", {"Florianópolis", "Joinville", "Blumenau", "Chapecó", "Itajaí", "Criciúma", "Jaraguá do Sul"}},
      {35, "SP", "São Paulo", {"São Paulo", "Campinas", "Guarulhos", "São Bernardo do Campo", "Santo André", "Ribeirão Preto", "Sorocaba", "São José dos Campos", "Santos", "Jundiaí", "Bauru", "Piracicaba"}},
      {28, "SE", "Sergipe", {"Aracaju", "Nossa Senhora do Socorro"}},
      {17, "TO", "Tocantins", {"Palmas", "Araguaína"}},
  };
  return states;
}

constexpr std::array<const char*, 40> kFirstNames = {
    "Ana", "João", "Maria", "José", "Antônio", "Francisca", "Carlos", "Paulo",
    "Adriana", "Luís", "Márcia", "Fernanda", "Patrícia", "Aline", "Sérgio",
    "Luíza", "Gabriel", "Letícia", "Rafael", "Bruna", "Thiago", "Camila",
    "Vinícius", "Júlia", "André", "Beatriz", "Mônica", "Otávio", "Cecília",
    "Caio", "Helena", "Fábio", "Lúcia", "Rogério", "Sônia", "Débora", "Ítalo",
    "Cláudia", "Raí", "Inês"};
constexpr std::array<const char*, 40> kLastNames = {
    "Silva", "Santos", "Oliveira", "Souza", "Rodrigues", "Ferreira", "Alves",
    "Pereira", "Lima", "Gomes", "Ribeiro", "Carvalho", "Araújo", "Martins",
    "Rocha", "Conceição", "Assunção", "Brandão", "Gonçalves", "Magalhães",
    "Simões", "Falcão", "Guimarães", "Loureiro", "Peçanha", "Damião",
    "Estêvão", "Mourão", "Romão", "Sampaio", "Teixeira", "Vieira", "Nóbrega",
    "Cunha", "Leão", "Barbosa", "Antunes", "Castro", "Dias", "Monteiro"};
constexpr std::array<const char*, 12> kCompanySuffixes = {
    "Modas Ltda", "Confecções ME", "Boutique EIRELI", "Magazine Ltda",
    "Comércio de Roupas Ltda", "Atacado e Varejo Ltda", "Moda Praia ME",
    "Calçados Ltda", "Infantil ME", "Store Ltda", "& Filhos Ltda",
    "Tecidos S/A"};
constexpr std::array<const char*, 12> kStreets = {
    "Rua das Flores", "Avenida Brasil", "Rua São João", "Rua Tiradentes",
    "Avenida Getúlio Vargas", "Rua Sete de Setembro", "Rua Dom Pedro II",
    "Avenida Paulista", "Rua Marechal Deodoro", "Travessa da Conceição",
    "Rua Barão do Rio Branco", "Alameda dos Ipês"};
constexpr std::array<const char*, 10> kDistricts = {
    "Centro", "Jardim América", "Vila Nova", "Boa Vista", "São José",
    "Santa Mônica", "Jardim Botânico", "Bela Vista", "Liberdade",
    "Parque São Jorge"};

struct GroupInfo {
  const char* grupo;
  std::vector<const char*> kinds;
  bool sized;  // clothing with sizes and colours
};

const std::vector<GroupInfo>& Groups() {
  static const std::vector<GroupInfo> groups = {
      {"Camisetas", {"Camiseta", "Regata", "Camiseta Polo"}, true},
      {"Calças", {"Calça Jeans", "Calça Sarja", "Calça Legging"}, true},
      {"Bermudas", {"Bermuda Jeans", "Bermuda Tactel", "Short"}, true},
      {"Vestidos", {"Vestido Longo", "Vestido Midi", "Vestido Tubinho"}, true},
      {"Saias", {"Saia Plissada", "Saia Jeans", "Saia Lápis"}, true},
      {"Jaquetas", {"Jaqueta Jeans", "Jaqueta Corta-vento", "Blazer"}, true},
      {"Moletons", {"Moletom Canguru", "Blusão", "Cardigã"}, true},
      {"Camisas", {"Camisa Social", "Camisa Xadrez", "Bata"}, true},
      {"Moda Íntima", {"Sutiã", "Calcinha", "Cueca Boxer"}, true},
      {"Pijamas", {"Pijama", "Camisola", "Robe"}, true},
      {"Moda Praia", {"Biquíni", "Maiô", "Sunga"}, true},
      {"Infantil", {"Body Bebê", "Macacão Infantil", "Conjunto Infantil"}, true},
      {"Calçados", {"Tênis", "Sandália", "Chinelo", "Sapatilha"}, true},
      {"Acessórios", {"Boné", "Cinto de Couro", "Óculos de Sol", "Lenço"}, false},
      {"Bolsas", {"Bolsa Tiracolo", "Mochila", "Carteira", "Necessaire"}, false},
      {"Meias", {"Meia Cano Alto", "Meia Soquete", "Meia-calça"}, false},
      {"Tecidos", {"Tecido Tricoline", "Malha Algodão", "Linho"}, false},
      {"Aviamentos", {"Botão", "Zíper", "Linha de Costura", "Elástico"}, false},
      {"Uniformes", {"Jaleco", "Avental", "Camiseta Uniforme"}, true},
      {"Ponta de Estoque", {"Peça Avulsa", "Kit Promoção"}, false},
  };
  return groups;
}

constexpr std::array<const char*, 12> kMaterials = {
    "Algodão", "Malha Fria", "Viscose", "Linho", "Poliéster", "Jeans",
    "Tricô", "Couro Sintético", "Moletinho", "Seda", "Dry Fit", "Crepe"};
constexpr std::array<const char*, 10> kStyles = {
    "Básica", "Estampada", "Listrada", "Lisa", "Slim", "Oversized",
    "Bordada", "Clássica", "Esportiva", "Verão"};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: norvessa-demo-seed SCHEMA.sql OUTPUT.db\n";
    return 2;
  }
  try {
    std::ifstream schema_file(argv[1]);
    if (!schema_file) throw std::runtime_error(std::string("cannot read ") + argv[1]);
    std::stringstream schema;
    schema << schema_file.rdbuf();

    Db db(argv[2]);
    db.Exec(schema.str());
    db.Exec("BEGIN");
    Random rnd(20261210);

    db.Insert("Empresa", {I(1), S("Norvessa Confecções")});
    db.Insert("Empresa", {I(2), S("Norvessa Atacado")});

    // Users, profiles and permissions.
    const std::array<const char*, 9> users = {
        "ADMIN", "caixa1", "caixa2", "vendedor1", "vendedor2",
        "estoque", "gerente", "conferente", "antigo"};
    for (int i = 0; i < static_cast<int>(users.size()); ++i) {
      db.Insert("Usuario",
                {I(i + 1), I(i == 8 ? 2 : 1), S(users[static_cast<std::size_t>(i)]),
                 S("senha" + std::to_string(100 + i)), I(i == 8 ? 0 : 1)});
    }
    const std::array<const char*, 4> profiles = {"Administrador", "Vendas",
                                                 "Estoque", "Consulta"};
    for (int p = 0; p < 4; ++p) {
      db.Insert("Perfil", {I(p + 1), S(profiles[static_cast<std::size_t>(p)])});
    }
    const std::array<const char*, 8> objects = {
        "Cadastro de Clientes", "Cadastro de Produtos", "Pedidos de Venda",
        "Separação de Pedidos", "Conferência de Pedidos", "Relatórios",
        "Configurações", "Estoque"};
    for (int p = 1; p <= 4; ++p) {
      for (int o = 0; o < 8; ++o) {
        if (p == 1 || (o + p) % 3 != 0) {
          db.Insert("PerfilObjeto", {I(p), S(objects[static_cast<std::size_t>(o)])});
        }
      }
    }
    for (int u = 1; u <= 8; ++u) {
      const int profile = u == 1 || u == 7 ? 1 : (u <= 5 ? 2 : 3);
      db.Insert("PerfilPermissao",
                {I(u), I(profile), I(1), I(profile != 4 ? 1 : 0),
                 I(profile == 1 ? 1 : 0), I(1)});
      if (u == 7) {
        db.Insert("PerfilPermissao", {I(u), I(4), I(1), I(0), I(0), I(1)});
      }
    }

    // States and cities.
    int city_id = 0;
    std::vector<int> ceps;
    int cep_id = 0;
    for (const State& st : States()) {
      db.Insert("Uf", {I(st.id), S(st.uf), S(st.name), I(1)});
      int n = 0;
      for (const char* city : st.cities) {
        ++city_id;
        db.Insert("Cidade", {I(city_id), S(city), I(st.id),
                             I(st.id * 100000 + (++n) * 10 + 8), I(1)});
        for (int c = 0; c < 4; ++c) {
          ++cep_id;
          db.Insert("Cep", {I(cep_id),
                            S(Pad(10000 + st.id * 700 + n * 40 + c, 5) + "-" +
                              Pad(c * 111 % 1000, 3)),
                            I(city_id)});
          ceps.push_back(cep_id);
        }
      }
      // An old, deactivated municipality in some states.
      if (st.id % 4 == 0) {
        ++city_id;
        db.Insert("Cidade", {I(city_id), S(std::string("Distrito Extinto de ") + st.name),
                             I(st.id), I(st.id * 100000 + 99), I(0)});
      }
    }
    db.Insert("Uf", {I(99), S("EX"), S("Exterior"), I(0)});

    // Customers and residents.
    for (int p = 1; p <= kCustomers; ++p) {
      const bool company = rnd.Chance(25);
      const std::string first = rnd.Pick(kFirstNames);
      const std::string last = rnd.Pick(kLastNames);
      const std::string name =
          company ? last + " " + rnd.Pick(kCompanySuffixes)
                  : first + " " + rnd.Pick(kLastNames) + " " + last;
      const std::string doc =
          company ? Pad(rnd.Int(10, 99), 2) + "." + Pad(rnd.Int(0, 999), 3) +
                        "." + Pad(rnd.Int(0, 999), 3) + "/0001-" +
                        Pad(rnd.Int(0, 99), 2)
                  : Pad(rnd.Int(0, 999), 3) + "." + Pad(rnd.Int(0, 999), 3) +
                        "." + Pad(rnd.Int(0, 999), 3) + "-" +
                        Pad(rnd.Int(0, 99), 2);
      const int ddd = rnd.Int(11, 99);
      std::string email;
      for (const std::string& part : {first, std::string("."), last}) {
        for (std::size_t i = 0; i < part.size(); ++i) {
          const auto u = static_cast<unsigned char>(part[i]);
          if (u < 0x80) {
            email += static_cast<char>(u >= 'A' && u <= 'Z' ? u + 32 : u);
          } else if (u == 0xC3 && i + 1 < part.size()) {
            // Latin-1 letters in UTF-8: their plain letter.
            static const std::string kPlain =
                "aaaaaaaceeeeiiiidnooooo/ouuuuyty";
            const auto low = static_cast<unsigned char>(part[++i]) & 0x1F;
            email += kPlain[low];
          }
        }
      }
      email += std::to_string(p) + "@exemplo.com.br";
      const bool active = !rnd.Chance(4);
      const bool customer = !rnd.Chance(6);
      db.Insert("Pessoa",
                {I(p), S(p % 997 == 0 ? "" : name), S(doc),
                 S("(" + std::to_string(ddd) + ") " + Pad(rnd.Int(2000, 3999), 4) + "-" + Pad(rnd.Int(0, 9999), 4)),
                 company && rnd.Chance(30) ? S("(" + std::to_string(ddd) + ") 3" + Pad(rnd.Int(0, 999), 3) + "-" + Pad(rnd.Int(0, 9999), 4)) : Null(),
                 S("(" + std::to_string(ddd) + ") 9" + Pad(rnd.Int(8000, 9999), 4) + "-" + Pad(rnd.Int(0, 9999), 4)),
                 rnd.Chance(85) ? S(email) : Null(), I(active ? 1 : 0),
                 I(customer ? 1 : 0)});
      const int cep = ceps[static_cast<std::size_t>(rnd.Int(0, static_cast<int>(ceps.size()) - 1))];
      db.Insert("Endereco", {I(p), S(rnd.Pick(kStreets)), S(std::to_string(rnd.Int(1, 3500))),
                             S(rnd.Pick(kDistricts)),
                             rnd.Chance(30) ? S("Apto " + std::to_string(rnd.Int(11, 1204))) : Null(),
                             I(cep), S(rnd.Chance(97) ? "N" : "C")});
      if (rnd.Chance(10)) {
        db.Insert("Endereco", {I(p), S(rnd.Pick(kStreets)), S(std::to_string(rnd.Int(1, 900))),
                               S(rnd.Pick(kDistricts)), Null(), I(cep), S("C")});
      }
      if (!company && rnd.Chance(60)) {
        db.Insert("Fisica",
                  {I(p), rnd.Chance(80) ? S(std::to_string(1000 + p)) : Null()});
      }
      if (rnd.Chance(35)) {
        for (int c = 0, n = rnd.Int(1, 3); c < n; ++c) {
          db.Insert("Coleta", {I(p), I(rnd.Int(1, 480))});
        }
      }
    }

    // Product master data.
    const std::array<const char*, 8> units = {"UN", "PC", "pc", "KG", "MT",
                                              "CX", "PAR", "LT"};
    for (int u = 0; u < 8; ++u) db.Insert("UnMed", {I(u + 1), S(units[static_cast<std::size_t>(u)])});
    const auto& groups = Groups();
    for (int g = 0; g < static_cast<int>(groups.size()); ++g) {
      db.Insert("Grupo", {I(g + 1), S(groups[static_cast<std::size_t>(g)].grupo),
                          I(g == 19 ? 0 : 1)});
    }
    const std::array<const char*, 6> subgroups = {"Masculino", "Feminino", "Unissex",
                                                  "Infantil", "Plus Size", "Juvenil"};
    for (int i = 0; i < 6; ++i) db.Insert("SubGrupo", {I(i + 1), S(subgroups[static_cast<std::size_t>(i)])});
    const std::array<const char*, 4> lines = {"Verão 2026", "Inverno 2026", "Básicos", "Festa"};
    for (int i = 0; i < 4; ++i) db.Insert("Linha", {I(i + 1), S(lines[static_cast<std::size_t>(i)])});
    const std::array<const char*, 4> sublines = {"Casual", "Social", "Esporte", "Praia"};
    for (int i = 0; i < 4; ++i) db.Insert("SubLinha", {I(i + 1), S(sublines[static_cast<std::size_t>(i)])});
    const std::array<const char*, 10> brands = {"Norvessa", "Tropicália", "Água de Coco Fashion",
                                                "Pé de Moça", "Ipanema Style", "Boa Forma",
                                                "Gaúcha Jeans", "Sertão Couros", "Maré Alta", "Estação"};
    for (int i = 0; i < 10; ++i) db.Insert("Marca", {I(i + 1), S(brands[static_cast<std::size_t>(i)])});
    const std::array<const char*, 6> ncms = {"61091000", "62034200", "62044200",
                                             "64029990", "42022210", "52081200"};
    for (int i = 0; i < 6; ++i) db.Insert("TabelaNcm", {I(i + 1), S(ncms[static_cast<std::size_t>(i)])});
    const std::array<const char*, 4> cfops = {"5102", "5405", "6102", "5101"};
    for (int i = 0; i < 4; ++i) db.Insert("NatOperacao", {I(i + 1), S(cfops[static_cast<std::size_t>(i)])});
    const std::array<const char*, 3> taxes = {"Tributado Integralmente",
                                              "Substituição Tributária", "Isento"};
    for (int i = 0; i < 3; ++i) db.Insert("TributacaoIcms", {I(i + 1), S(taxes[static_cast<std::size_t>(i)])});
    const std::array<const char*, 3> places = {"Loja", "Depósito", "Vitrine"};
    for (int i = 0; i < 3; ++i) db.Insert("Local", {I(i + 1), S(places[static_cast<std::size_t>(i)])});
    const std::array<const char*, 12> colours = {"Branco", "Preto", "Azul Marinho", "Vermelho",
                                                 "Verde Musgo", "Cinza Mescla", "Bordô", "Rosê",
                                                 "Amarelo Limão", "Marrom Café", "Off-White", "Lilás"};
    for (int i = 0; i < 12; ++i) db.Insert("Cor", {I(i + 1), S(colours[static_cast<std::size_t>(i)])});
    const std::array<const char*, 4> sizes = {"Único", "Adulto", "Infantil", "Numeração"};
    for (int i = 0; i < 4; ++i) db.Insert("Tamanho", {I(i + 1), S(sizes[static_cast<std::size_t>(i)])});
    const std::array<const char*, 12> size_items = {"PP", "P", "M", "G", "GG", "XG",
                                                    "34", "36", "38", "40", "42", "44"};
    for (int i = 0; i < 12; ++i) db.Insert("TamanhoItem", {I(i + 1), S(size_items[static_cast<std::size_t>(i)])});
    const std::array<const char*, 4> conditions = {"À Vista", "30 Dias", "30/60/90",
                                                   "Cartão 3x"};
    for (int i = 0; i < 4; ++i) db.Insert("CondicaoPagamento", {I(i + 1), S(conditions[static_cast<std::size_t>(i)])});

    // Products, each with one grade, its values and stock; clothing gets
    // sizes and colours, some products get prices per payment condition.
    int size_id = 0;
    int combo_id = 0;
    std::vector<double> prices(static_cast<std::size_t>(kProducts) + 1);
    std::vector<std::string> names(static_cast<std::size_t>(kProducts) + 1);
    std::vector<int> unit_of(static_cast<std::size_t>(kProducts) + 1);
    for (int p = 1; p <= kProducts; ++p) {
      const int g = (p - 1) % static_cast<int>(groups.size());
      const GroupInfo& info = groups[static_cast<std::size_t>(g)];
      const std::string kind = info.kinds[static_cast<std::size_t>(rnd.Int(0, static_cast<int>(info.kinds.size()) - 1))];
      const std::string name = kind + " " + rnd.Pick(kStyles) + " " + rnd.Pick(kMaterials) +
                               " " + std::to_string(100 + p % 900);
      const int unit = info.sized ? (rnd.Chance(80) ? 1 : 2) : rnd.Int(1, 8);
      names[static_cast<std::size_t>(p)] = name;
      unit_of[static_cast<std::size_t>(p)] = unit;
      db.Insert("Produto",
                {I(p), S(name), S("REF-" + Pad(p, 5)), I(g + 1), I(rnd.Int(1, 6)),
                 I(unit), I(rnd.Int(1, 4)), rnd.Chance(70) ? I(rnd.Int(1, 4)) : Null(),
                 I(rnd.Int(1, 10)), I(rnd.Int(1, 6)), I(rnd.Int(1, 4)), I(rnd.Int(1, 3)),
                 I(p % 41 == 0 ? 0 : 1)});
      const double cost = Money(rnd.Int(500, 25000) / 100.0);
      const double price = Money(cost * (1.6 + rnd.Int(0, 120) / 100.0));
      prices[static_cast<std::size_t>(p)] = price;
      db.Insert("Grade", {I(p), I(p), S("789" + Pad(1000000000LL + p * 7919LL % 1000000000LL, 10)),
                          I(rnd.Int(1, 3)), I(rnd.Int(1, 12)), I(info.sized ? 2 : 1)});
      const bool promo = rnd.Chance(15);
      db.Insert("GradeValor",
                {I(p), D(cost), D(Money(cost * 0.95)), D(price),
                 promo ? D(Money(price * 0.85)) : D(0), D(Money(price * 0.9)),
                 D(Money((price / cost - 1) * 100)), D(Money(rnd.Int(5, 25))),
                 promo ? S(DayText(1800 + rnd.Int(0, 60), 0, 0)) : Null(),
                 promo ? S(DayText(1900 + rnd.Int(0, 60), 23, 59)) : Null()});
      db.Insert("GradeEstoque", {I(p), D(rnd.Int(0, 400)), D(rnd.Int(0, 20)), D(rnd.Chance(20) ? rnd.Int(1, 5) : 0)});
      if (info.sized && rnd.Chance(70)) {
        const int first_size = rnd.Int(0, 8);
        for (int s = 0, n = rnd.Int(2, 4); s < n; ++s) {
          ++size_id;
          db.Insert("GradeTamanho", {I(size_id), I(p), I(first_size + s + 1)});
          for (int c = 0, m = rnd.Int(1, 2); c < m; ++c) {
            ++combo_id;
            db.Insert("GradeTamanhoCores",
                      {I(combo_id), I(p), I(size_id), I(rnd.Int(1, 12)),
                       S("2" + Pad(combo_id * 104729LL % 1000000000000LL, 12)),
                       D(rnd.Int(0, 60))});
          }
        }
      }
      if (rnd.Chance(35)) {
        for (int c = 1; c <= 4; ++c) {
          if (c == 1 || rnd.Chance(50)) {
            db.Insert("ProdutoPreco", {I(p), I(c), D(Money(price * (1 + (c - 1) * 0.04)))});
          }
        }
      }
    }

    // Orders: open ones waiting to be picked, picked ones waiting to be
    // checked, checked ones, delivered and cancelled ones.
    const std::array<const char*, 6> statuses = {"Aberto", "Aberto", "Separado",
                                                 "Conferido", "Entregue", "Cancelado"};
    int item_id = 0;
    for (int o = 1; o <= kOrders; ++o) {
      const int day = rnd.Int(0, 2170);
      const std::string status = rnd.Pick(statuses);
      const bool no_delivery = o % 45 == 0;
      const int customer = rnd.Int(1, kCustomers);
      const int items = rnd.Int(1, 6);
      double total = 0;
      struct Line {
        int product;
        double qty;
        double price;
      };
      std::vector<Line> lines_of_order;
      for (int i = 0; i < items; ++i) {
        const int product = rnd.Int(1, kProducts);
        const double qty = unit_of[static_cast<std::size_t>(product)] == 4
                               ? rnd.Int(5, 40) / 10.0
                               : rnd.Int(1, 12);
        lines_of_order.push_back({product, qty, prices[static_cast<std::size_t>(product)]});
        total += Money(qty * prices[static_cast<std::size_t>(product)]);
      }
      db.Insert("Pedido",
                {I(o), I(1), I(rnd.Int(1, 8)), I(o % 97 == 0 ? 0 : 1), S(status), S(rnd.Chance(30) ? "APP" : "LOJA"),
                 S(DayText(day, rnd.Int(8, 18), rnd.Int(0, 59))),
                 no_delivery ? Null() : S(DayText(day + rnd.Int(1, 10), 8, 0)),
                 no_delivery ? Null() : S(DayText(day + rnd.Int(11, 20), 18, 0)),
                 I(0), S(Pad(o, 6)), I(customer), I(rnd.Int(0, 5)), D(0),
                 D(rnd.Chance(20) ? rnd.Int(1, 10) : 0), D(Money(total)),
                 rnd.Chance(20) ? S("Entregar no período da manhã; cliente: " +
                                    std::to_string(customer))
                                : Null(),
                 S(DayText(day, 7, 30))});
      int n = 0;
      for (const Line& l : lines_of_order) {
        ++item_id;
        double picked = 0;
        double checked = 0;
        if (no_delivery || status == "Conferido" || status == "Entregue") {
          picked = checked = l.qty;
        } else if (status == "Separado") {
          picked = l.qty;
          checked = rnd.Chance(50) ? 0 : std::min(l.qty, 1.0);
        } else if (status == "Aberto") {
          picked = rnd.Chance(25) ? std::min(l.qty, 1.0) : 0;
        }
        const int unit = unit_of[static_cast<std::size_t>(l.product)];
        db.Insert("PedidoItem",
                  {I(item_id), I(1), I(1), I(rnd.Chance(97) ? 1 : 0), I(o), I(0), I(++n),
                   I(l.product), S("789" + Pad(1000000000LL + l.product * 7919LL % 1000000000LL, 10)),
                   S(units[static_cast<std::size_t>(unit - 1)]),
                   S(names[static_cast<std::size_t>(l.product)]), D(l.qty), D(l.price),
                   D(Money(l.qty * l.price)), D(0), D(0), D(picked), D(checked)});
      }
    }
    db.Exec("COMMIT");
    db.Exec("VACUUM");
    std::cout << "demo database written to " << argv[2] << "\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "norvessa-demo-seed: " << e.what() << "\n";
    return 1;
  }
}
