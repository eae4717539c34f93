// A suite against SQL Server runs when APINORVESSA_MSSQL_TEST holds a
// connection string.

#include "db/odbc/odbc_connection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>

#include "db/driver_error.h"
#include "db/odbc/connection_string.h"
#include "db/query.h"
#include "json/json_text.h"
#include "serialize/dataset_export.h"

namespace norvessa {
namespace {

// Reading, binding, transactions and errors run through Debian's SQLite
// ODBC driver in connection_contract_test.cc.

TEST(OdbcConnectionTest, AMissingDriverFailsToConnect) {
  OdbcOptions missing_driver;
  missing_driver.connection_string = "DRIVER={No Such Driver};";
  try {
    OdbcConnection c(missing_driver);
    ADD_FAILURE() << "connected";
  } catch (const DriverError& e) {
    EXPECT_TRUE(e.connection_lost());
  }
}

// A listener that keeps the first packet a client sends, then hangs up.
class FirstPacket {
 public:
  FirstPacket() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 1);
    socklen_t n = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      const int c = accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      char buffer[4096];
      const ssize_t got = recv(c, buffer, sizeof buffer, 0);
      if (got > 0) packet_.assign(buffer, static_cast<std::size_t>(got));
      close(c);
    });
  }
  ~FirstPacket() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    if (thread_.joinable()) thread_.join();
  }
  std::uint16_t port() const { return port_; }
  // Once the client has given up.
  std::string Take() {
    thread_.join();
    return packet_;
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::string packet_;
};

// The ENCRYPTION option of a TDS pre-login packet (type 0x12), or -1.
int PreLoginEncryption(const std::string& packet) {
  if (packet.size() < 8 || static_cast<unsigned char>(packet[0]) != 0x12) {
    return -1;
  }
  const std::string_view body = std::string_view(packet).substr(8);
  for (std::size_t i = 0;
       i + 5 <= body.size() && static_cast<unsigned char>(body[i]) != 0xFF;
       i += 5) {
    const auto byte = [&](std::size_t at) {
      return static_cast<unsigned char>(body[at]);
    };
    const std::size_t offset = byte(i + 1) << 8 | byte(i + 2);
    if (byte(i) == 0x01 && offset < body.size()) return byte(offset);
  }
  return -1;
}

bool FreeTdsInstalled() {
  std::ifstream ini("/etc/odbcinst.ini");
  std::string line;
  while (std::getline(ini, line)) {
    if (line.rfind("[FreeTDS]", 0) == 0) return true;
  }
  return false;
}

// What FreeTDS itself puts on the wire with the service's connection
// string: its pre-login asks for an encrypted link (ENCRYPT_ON, 0x01),
// where by default it asks for the login packet alone (ENCRYPT_OFF, 0x00),
// and ODBCEXTRA can give it up (ENCRYPT_NOT_SUP, 0x02).
TEST(OdbcConnectionTest, FreeTdsAsksForAnEncryptedLink) {
  if (!FreeTdsInstalled()) GTEST_SKIP() << "FreeTDS is not installed";
  struct Case {
    const char* extra;
    int encryption;
  };
  for (const Case& c : {Case{"", 0x01}, Case{"Encryption=off", 0x02}}) {
    SCOPED_TRACE(c.extra);
    FirstPacket server;
    OdbcOptions options;
    options.connection_string = SqlServerConnectionString(
        "FreeTDS", "127.0.0.1," + std::to_string(server.port()), "ERP", "api",
        "secret", c.extra);
    options.freetds = true;
    options.login_timeout_seconds = 5;
    EXPECT_THROW(OdbcConnection{options}, DriverError);
    EXPECT_EQ(PreLoginEncryption(server.Take()), c.encryption);
  }
}

// Runs only where a SQL Server is at hand.
class SqlServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* text = std::getenv("APINORVESSA_MSSQL_TEST");
    if (text == nullptr || *text == '\0') {
      GTEST_SKIP() << "APINORVESSA_MSSQL_TEST is not set";
    }
    options_.connection_string = text;
    options_.dialect = OdbcOptions::Dialect::kSqlServer;
  }
  OdbcOptions options_;
};

TEST_F(SqlServerTest, DatesKeysDecimalsAndText) {
  OdbcConnection c(options_);
  c.Execute(
      "create table #Pedido (IdPedido int identity(1,1) primary key, "
      "Cliente nvarchar(60), Total numeric(15,4), Dt datetime)",
      {});
  const std::int64_t key = c.InsertReturningKey(
      "insert into #Pedido (Cliente, Total, Dt) values (:C, :T, :D)",
      {{"C", std::string("S\xC3\xA3o Jo\xC3\xA3o")},
       {"T", 12.34},
       {"D", DateTime::FromParts(2024, 3, 31, 23, 59, 59, 123)}});
  EXPECT_EQ(key, 1);
  Query q(c);
  q.SQL()
      .Add("select Cliente, Total, Dt from #Pedido")
      .Add("where Dt <= '03/31/2024 23:59:59.997'");
  q.Open();
  EXPECT_EQ(ToJsonText(ToJSONArray(q)),
            R"([{"cliente":"S\u00E3o Jo\u00E3o","total":12.34,)"
            R"("dt":"2024-03-31T23:59:59.123Z"}])");
}

}  // namespace
}  // namespace norvessa
