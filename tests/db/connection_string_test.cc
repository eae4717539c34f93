#include "db/odbc/connection_string.h"

#include <gtest/gtest.h>

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
       "ClientCharset=UTF-8;TDS_Version=7.4;APP=APINorvessa;Timeout=30;"},
      {"FreeTDS", "erp,1533", "", "",
       "DRIVER={FreeTDS};SERVER=erp;PORT=1533;DATABASE=ERP;UID=api;"
       "ClientCharset=UTF-8;TDS_Version=7.4;APP=APINorvessa;Timeout=30;"},
      {"FreeTDS", "erp\\SQLEXPRESS", "p}w", "",
       "DRIVER={FreeTDS};SERVER=erp\\SQLEXPRESS;DATABASE=ERP;UID=api;"
       "PWD={p}}w};ClientCharset=UTF-8;TDS_Version=7.4;APP=APINorvessa;"
       "Timeout=30;"},
      {"ODBC Driver 18 for SQL Server", "erp,1533", "pw", "",
       "DRIVER={ODBC Driver 18 for SQL Server};SERVER=erp,1533;DATABASE=ERP;"
       "UID=api;PWD=pw;TrustServerCertificate=yes;APP=APINorvessa;"},
      // Keys the service sets take the new value in place, whatever their
      // case; others are appended, braced values kept whole.
      {"ODBC Driver 18 for SQL Server", "erp", "pw",
       " trustservercertificate = no ; Encrypt=yes;Failover_Partner={b;c}}};",
       "DRIVER={ODBC Driver 18 for SQL Server};SERVER=erp;DATABASE=ERP;"
       "UID=api;PWD=pw;TrustServerCertificate=no;APP=APINorvessa;"
       "Encrypt=yes;Failover_Partner={b;c}}};"},
      {"FreeTDS", "erp", "pw", "tds_version=7.3;timeout=120;;APP=ERP API",
       "DRIVER={FreeTDS};SERVER=erp;DATABASE=ERP;UID=api;PWD=pw;"
       "ClientCharset=UTF-8;TDS_Version=7.3;APP=ERP API;Timeout=120;"},
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

}  // namespace
}  // namespace norvessa
