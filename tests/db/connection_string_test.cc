#include "db/odbc/connection_string.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "db/driver_error.h"

namespace norvessa {
namespace {

TEST(ConnectionStringTest, SqlServerConnectionStrings) {
  struct Case {
    const char* driver;
    const char* host;
    const char* password;
    const char* extra;
    const char* text;
  };
  const Case cases[] = {
      {"", "erp", "s3cr;t", "",
       "DRIVER={FreeTDS};SERVER=erp;DATABASE=ERP;UID=api;PWD={s3cr;t};"
       "ClientCharset=UTF-8;TDS_Version=7.4;APP=APINorvessa;Timeout=30;"
       "Encryption=require;"},
      {"FreeTDS", "erp,1533", "", "",
       "DRIVER={FreeTDS};SERVER=erp;PORT=1533;DATABASE=ERP;UID=api;"
       "ClientCharset=UTF-8;TDS_Version=7.4;APP=APINorvessa;Timeout=30;"
       "Encryption=require;"},
      {"FreeTDS", "erp\\SQLEXPRESS", "p}w", "",
       "DRIVER={FreeTDS};SERVER=erp\\SQLEXPRESS;DATABASE=ERP;UID=api;"
       "PWD={p}}w};ClientCharset=UTF-8;TDS_Version=7.4;APP=APINorvessa;"
       "Timeout=30;Encryption=require;"},
      {"ODBC Driver 18 for SQL Server", "erp,1533", "pw", "",
       "DRIVER={ODBC Driver 18 for SQL Server};SERVER=erp,1533;DATABASE=ERP;"
       "UID=api;PWD=pw;Encrypt=yes;TrustServerCertificate=yes;"
       "APP=APINorvessa;"},
      // Keys the service sets take the new value in place, whatever their
      // case; others are appended, braced values kept whole.
      {"ODBC Driver 18 for SQL Server", "erp", "pw",
       " trustservercertificate = no ; Encrypt=yes;Failover_Partner={b;c}}};",
       "DRIVER={ODBC Driver 18 for SQL Server};SERVER=erp;DATABASE=ERP;"
       "UID=api;PWD=pw;Encrypt=yes;TrustServerCertificate=no;"
       "APP=APINorvessa;Failover_Partner={b;c}}};"},
      {"FreeTDS", "erp", "pw", "tds_version=7.3;timeout=120;;APP=ERP API",
       "DRIVER={FreeTDS};SERVER=erp;DATABASE=ERP;UID=api;PWD=pw;"
       "ClientCharset=UTF-8;TDS_Version=7.3;APP=ERP API;Timeout=120;"
       "Encryption=require;"},
      // The link's encryption is given up, or its certificate checked,
      // through ODBCEXTRA.
      {"FreeTDS", "erp", "pw", "encryption=off",
       "DRIVER={FreeTDS};SERVER=erp;DATABASE=ERP;UID=api;PWD=pw;"
       "ClientCharset=UTF-8;TDS_Version=7.4;APP=APINorvessa;Timeout=30;"
       "Encryption=off;"},
      {"ODBC Driver 18 for SQL Server", "erp", "pw",
       "TrustServerCertificate=no;HostNameInCertificate=erp.example",
       "DRIVER={ODBC Driver 18 for SQL Server};SERVER=erp;DATABASE=ERP;"
       "UID=api;PWD=pw;Encrypt=yes;TrustServerCertificate=no;"
       "APP=APINorvessa;HostNameInCertificate=erp.example;"},
      // FreeTDS by another name: its settings all the same.
      {"freetds", "erp,1533", "", "",
       "DRIVER={freetds};SERVER=erp;PORT=1533;DATABASE=ERP;UID=api;"
       "ClientCharset=UTF-8;TDS_Version=7.4;APP=APINorvessa;Timeout=30;"
       "Encryption=require;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extra);
    EXPECT_EQ(SqlServerConnectionString(c.driver, c.host, "ERP", "api",
                                        c.password, c.extra),
              c.text);
  }
  for (const char* bad : {"Encrypt", "Encrypt=yes;oops", "=yes"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(
        SqlServerConnectionString("FreeTDS", "erp", "ERP", "api", "pw", bad),
        DriverError);
  }
}

// The configured name only suggests the driver; what the driver says of
// itself once connected decides.
TEST(ConnectionStringTest, TheDriverIsKnownByItsNameOrItsLibrary) {
  using Kind = SqlServerDriverKind;
  struct Case {
    const char* name;
    Kind kind;
  };
  const Case names[] = {
      {"", Kind::kFreeTds},
      {"FreeTDS", Kind::kFreeTds},
      {"freetds", Kind::kFreeTds},
      {"FREETDS 1.3", Kind::kFreeTds},
      {"/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so", Kind::kFreeTds},
      {"ODBC Driver 18 for SQL Server", Kind::kMicrosoft},
      {"/opt/microsoft/msodbcsql18/lib64/libmsodbcsql-18.3.so.3.1",
       Kind::kMicrosoft},
      // A DSN or an alias says nothing: the first connection tells.
      {"ERP", Kind::kMicrosoft},
  };
  for (const Case& c : names) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DriverKindFromName(c.name), c.kind);
  }
  struct File {
    const char* file;
    std::optional<Kind> kind;
  };
  const File files[] = {
      {"libtdsodbc.so", Kind::kFreeTds},
      {"libtdsodbc.so.0", Kind::kFreeTds},
      {"libmsodbcsql-18.3.so.3.1", Kind::kMicrosoft},
      {"libmsodbcsql-17.10.so.6.1", Kind::kMicrosoft},
      {"libsqlite3odbc.so", std::nullopt},
      {"", std::nullopt},
  };
  for (const File& f : files) {
    SCOPED_TRACE(f.file);
    EXPECT_EQ(DriverKindFromFile(f.file), f.kind);
  }
}

}  // namespace
}  // namespace norvessa
