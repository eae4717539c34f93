#include "support/scripted_odbc/scripted_odbc_fixture.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>

#ifndef NORVESSA_SCRIPTED_ODBC_DRIVER
#error "NORVESSA_SCRIPTED_ODBC_DRIVER must name libscripted_odbc.so"
#endif

namespace norvessa::testing {
namespace {

constexpr std::string_view kDriverNames[] = {kFreeTdsDriver, kMicrosoftDriver,
                                             kTdsDriver, kSqlServerDriver};

// The folder with odbcinst.ini, and the driver library held open.
class Installation {
 public:
  Installation() {
    std::string pattern = (std::filesystem::temp_directory_path() /
                           "norvessa-scripted-odbc-XXXXXX")
                              .string();
    if (mkdtemp(pattern.data()) == nullptr) {
      error_ = "cannot create a folder for odbcinst.ini";
      return;
    }
    dir_ = pattern;
    const std::string driver = NORVESSA_SCRIPTED_ODBC_DRIVER;
    std::ofstream ini(dir_ / "odbcinst.ini");
    for (std::string_view name : kDriverNames) {
      ini << '[' << name << "]\n"
          << "Description = Scripted test driver\n"
          << "Driver = " << driver << "\n\n";
    }
    CopyOtherDrivers(ini);
    ini.close();
    setenv("ODBCSYSINI", dir_.c_str(), 1);
    setenv("ODBCINSTINI", "odbcinst.ini", 1);
    // The same path as odbcinst.ini's: the loader hands unixODBC this very
    // instance. Never closed, so the server outlives unixODBC's unloading.
    library_ = dlopen(driver.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
      error_ = dlerror();
      return;
    }
    auto* entry = reinterpret_cast<ScriptedServer* (*)()>(
        dlsym(library_, "ScriptedOdbcServer"));
    server_ = entry != nullptr ? entry() : nullptr;
    if (server_ == nullptr) error_ = driver + " exports no ScriptedOdbcServer";
  }

  ~Installation() {
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }

  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  ScriptedServer& server() {
    if (server_ == nullptr) throw std::runtime_error(error_);
    return *server_;
  }

 private:
  // The system's other drivers (Debian's SQLite3 among them) stay
  // reachable, so a test may use both kinds.
  static void CopyOtherDrivers(std::ofstream& out) {
    std::ifstream system("/etc/odbcinst.ini");
    bool keep = false;
    for (std::string line; std::getline(system, line);) {
      if (!line.empty() && line.front() == '[') {
        const std::string name = line.substr(1, line.find(']') - 1);
        keep = std::find(std::begin(kDriverNames), std::end(kDriverNames),
                         name) == std::end(kDriverNames);
      }
      if (keep) out << line << '\n';
    }
  }

  std::filesystem::path dir_;
  void* library_ = nullptr;
  ScriptedServer* server_ = nullptr;
  std::string error_;
};

Installation& TheInstallation() {
  static Installation installation;
  return installation;
}

// While the program starts, before any test can make an ODBC call.
[[maybe_unused]] const bool kInstalledAtStart = (TheInstallation(), true);

}  // namespace

ScriptedServer& ScriptedOdbc() { return TheInstallation().server(); }

std::string ScriptedDriverPath() { return NORVESSA_SCRIPTED_ODBC_DRIVER; }

std::string ScriptedConnectionString(std::string_view driver) {
  return "DRIVER={" + std::string(driver) +
         "};SERVER=erp-scripted;DATABASE=ERP;UID=api;PWD=secret;";
}

std::vector<Call> CallsTo(ScriptedServer& server,
                          std::initializer_list<std::string_view> functions) {
  std::vector<Call> calls = server.Calls();
  std::erase_if(calls, [&](const Call& call) {
    return std::find(functions.begin(), functions.end(), call.function) ==
           functions.end();
  });
  return calls;
}

}  // namespace norvessa::testing
