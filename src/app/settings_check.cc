#include "app/settings_check.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/conexao.h"
#include "app/detailed_error.h"
#include "app/norvessa_form.h"
#include "app/program_paths.h"
#include "app/version.h"
#include "db/connection_factory.h"
#include "db/unit_of_work.h"
#include "middleware/log_file_provider.h"
#include "text/ascii.h"
#include "text/number_text.h"

namespace norvessa {
namespace {

// Why nothing could listen on `address` (every local IPv4 address for
// "0.0.0.0") at `port` now; empty when something could. Binds for a
// moment, never listens.
std::string PortInUse(int port, const std::string& address) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  const auto ip = ParseIpAddress(address);
  const std::string text = ip ? FormatIpAddress(*ip) : "0.0.0.0";
  const bool v6 = text.find(':') != std::string::npos;
  if (v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<std::uint16_t>(port));
    std::memcpy(&a->sin6_addr, ip->data(), 16);
    length = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&storage);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<std::uint16_t>(port));
    if (ip) {
      std::memcpy(&a->sin_addr, ip->data() + 12, 4);
    } else {
      a->sin_addr.s_addr = htonl(INADDR_ANY);
    }
    length = sizeof *a;
  }
  const int fd =
      ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::strerror(errno);
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  std::string cause;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
    cause = std::strerror(errno);
  }
  ::close(fd);
  return cause;
}

class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}

  void Found(const std::string& what, const std::string& value) {
    out_ << what << ": " << value << "\n";
  }
  void Problem(const std::string& text) { problems_.push_back(text); }
  void Warning(const std::string& text) { warnings_.push_back(text); }

  int Finish() {
    for (const std::string& p : problems_) out_ << "problem: " << p << "\n";
    for (const std::string& w : warnings_) out_ << "warning: " << w << "\n";
    if (problems_.empty()) {
      out_ << "result: the service can start\n";
      return 0;
    }
    out_ << "result: the service cannot start (" << problems_.size()
         << (problems_.size() == 1 ? " problem" : " problems") << ")\n";
    return 1;
  }

 private:
  std::ostream& out_;
  std::vector<std::string> problems_;
  std::vector<std::string> warnings_;
};

// Whether SQL Server's link is encrypted, as the server sees this very
// connection.
void CheckLink(ConnectionPool& pool, Report& report) {
  try {
    UnitOfWork uow(pool);
    const ResultSet r = uow.Open(
        "SELECT CONVERT(varchar(10), CONNECTIONPROPERTY('encrypt_option')) "
        "AS Encrypted",
        {});
    const std::string* text = r.rows.empty() || r.rows[0].empty()
                                  ? nullptr
                                  : std::get_if<std::string>(&r.rows[0][0]);
    if (text != nullptr && EqualsIgnoreCase(*text, "TRUE")) {
      report.Found("link encrypted", "yes");
    } else {
      report.Found("link encrypted", "no");
      report.Warning(
          "the link to SQL Server is not encrypted: queries, answers and "
          "passwords cross the network in clear (FreeTDS: "
          "ODBCEXTRA=Encryption=require; Microsoft's driver: Encrypt=yes)");
    }
  } catch (const std::exception& e) {
    report.Found("link encrypted", std::string("unknown (") + e.what() + ")");
  }
}

void CheckDatabase(Platform& platform, const std::string& connection_file,
                   const std::string& service_file, Report& report) {
  if (!platform.FileExists(connection_file)) {
    report.Problem("Arquivo CONEXAO.INI não foi encontrado! (looked for " +
                   connection_file + ", the folder Config beside the program)");
    return;
  }
  std::string failure;
  const std::optional<ConnectionSettings> settings =
      ReadConnectionSettings(platform, connection_file, failure);
  if (!settings) {
    report.Problem(failure);
    return;
  }
  report.Found("driver", settings->driver.empty() ? "MSSQL9 (the default)"
                                                  : settings->driver);
  report.Found("host", settings->hostname);
  report.Found("database", settings->database);
  if (settings->hostname.empty()) {
    report.Problem("[SERVER] HOSTNAME is missing or empty in " +
                   connection_file);
    return;
  }
  std::string empresa =
      platform.ReadIniString(service_file, "API", "Empresa", "");
  if (empresa.empty()) empresa = "1";
  try {
    // One connection, as the start's first one: the same factory, the same
    // login timeout.
    ConnectionPool pool(MakeConnectionFactory(*settings, 1), 1);
    {
      std::unique_ptr<Connection> connection = pool.Acquire();
      connection->Open("select 1", {});
      pool.Release(std::move(connection));
    }
    report.Found("database answers", "yes");
    if (!EqualsIgnoreCase(settings->driver, "SQLite")) {
      CheckLink(pool, report);
    }
    try {
      const std::string nome = BuscarNomeFantasia(pool, empresa);
      report.Found("company", empresa + " " + nome);
      if (nome.empty()) {
        report.Warning("company " + empresa +
                       " ([API] Empresa) has no trade name in Empresa");
      }
    } catch (const std::exception& e) {
      report.Problem("reading the trade name of company " + empresa +
                     " ([API] Empresa): " + e.what());
    }
    pool.Close();
  } catch (const std::exception& e) {
    report.Found("database answers", "no");
    report.Problem(DescribeDatabase(*settings) + ": " + e.what());
  }
}

// A port key of [API]: the number, or nothing with the problem told.
std::optional<int> CheckPort(Platform& platform, const std::string& file,
                             const char* key, const std::string& rule,
                             Report& report) {
  const std::string text =
      std::string(TrimBlanks(platform.ReadIniString(file, "API", key, "")));
  try {
    return PortFromText(text);
  } catch (const std::exception& e) {
    report.Problem("[API] " + std::string(key) + "='" + text + "' in " + file +
                   ": " + e.what() + ": " + rule);
    return std::nullopt;
  }
}

}  // namespace

int RunSettingsCheck(Platform& platform, std::ostream& out) {
  Report report(out);
  out << "APINorvessa " << kVersionText << " settings check\n";
  const std::string program_dir = DirectoryOf(platform.ProgramFilePath());
  const std::string root = platform.DriveRoot();
  const std::string service_file = ServiceSettingsPath(root);
  const std::string connection_file = ConnectionSettingsPath(program_dir);
  report.Found("program folder", program_dir);
  report.Found("settings root", root);
  report.Found("service settings",
               service_file + (platform.FileExists(service_file)
                                   ? ""
                                   : " (missing: the defaults apply)"));
  report.Found("connection settings", connection_file);

  CheckDatabase(platform, connection_file, service_file, report);

  std::string listen_address = Api::kDefaultHost;
  try {
    listen_address = ReadListenAddress(platform, service_file);
    report.Found("listen address", listen_address == Api::kDefaultHost
                                       ? "every local address"
                                       : listen_address);
  } catch (const DetailedError& e) {
    report.Problem(e.detail());
  }

  if (const auto port = CheckPort(
          platform, service_file, "Porta",
          "the port is a whole number from 0 to 65535 (0 listens on 9000)",
          report)) {
    const int listen_port = *port <= 0 ? 9000 : *port;
    report.Found("port", std::to_string(listen_port));
    if (const std::string cause = PortInUse(listen_port, listen_address);
        !cause.empty()) {
      report.Problem("port " + std::to_string(listen_port) +
                     " cannot be listened on: " + cause);
    }
  }

  const std::string logs = LogFileConfig::DefaultDir();
  std::error_code ec;
  if (!std::filesystem::is_directory(logs, ec)) {
    report.Found("log folder", logs + " (missing)");
    report.Warning("log folder " + logs +
                   " does not exist: requests will not be logged (create "
                   "it; the service never does)");
  } else if (::access(logs.c_str(), W_OK | X_OK) != 0) {
    report.Found("log folder", logs + " (not writable)");
    report.Warning("log folder " + logs +
                   " is not writable by this user: requests will not be "
                   "logged");
  } else {
    report.Found("log folder", logs + " (writable)");
  }

  try {
    const auto rules = ReadAccessRules(platform, service_file);
    auto setting = [&](const char* key, const char* when_empty) {
      const std::string text = std::string(
          TrimBlanks(platform.ReadIniString(service_file, "API", key, "")));
      return text.empty() ? std::string(when_empty) : text;
    };
    report.Found("allowed addresses", setting("IPsPermitidos", "everyone"));
    report.Found("proxies", setting("IPsProxy", "none"));
    report.Found("allowed origins",
                 setting("OrigensPermitidas",
                         "none (a request from a browser page is refused)"));
    report.Found("allowed hosts", setting("HostsPermitidos", "any"));
  } catch (const DetailedError& e) {
    report.Problem(std::string(e.what()) + " in " + service_file);
  }

  const ServerLimits defaults;
  const std::int64_t fallbacks[] = {
      std::chrono::duration_cast<std::chrono::seconds>(
          defaults.request_deadline)
          .count(),
      defaults.max_connections, defaults.max_connections_per_address,
      static_cast<std::int64_t>(defaults.body_budget / (1024 * 1024)),
      defaults.slot_wait.count()};
  static_assert(std::size(kLimitKeys) == std::size(fallbacks));
  for (std::size_t i = 0; i < std::size(kLimitKeys); ++i) {
    std::string problem;
    const std::int64_t value = CheckLimit(platform, service_file, kLimitKeys[i],
                                          fallbacks[i], problem);
    report.Found(kLimitKeys[i].name, FormatInteger(value));
    if (!problem.empty()) report.Warning(problem + " in " + service_file);
  }

  const std::string admin_text = std::string(TrimBlanks(
      platform.ReadIniString(service_file, "API", "PortaAdmin", "")));
  if (admin_text.empty()) {
    report.Found("admin port", "none");
  } else if (const auto admin = CheckPort(
                 platform, service_file, "PortaAdmin",
                 "the operators' port is a whole number from 1 to 65535, or "
                 "empty for none",
                 report)) {
    if (*admin <= 0) {
      report.Problem("[API] PortaAdmin='" + admin_text + "' in " +
                     service_file +
                     ": the operators' port is a whole number from 1 to "
                     "65535, or empty for none");
    }
    std::string ip = std::string(
        TrimBlanks(platform.ReadIniString(service_file, "API", "IPAdmin", "")));
    if (ip.empty()) ip = "127.0.0.1";
    report.Found("admin port", std::to_string(*admin) + " on " + ip);
    const auto address = ParseIpAddress(ip);
    const bool loopback =
        ip == "localhost" ||
        (address && (FormatIpAddress(*address).starts_with("127.") ||
                     FormatIpAddress(*address) == "::1"));
    if (!loopback) {
      report.Warning("[API] IPAdmin=" + ip +
                     " is not a loopback address: keep the operators' port "
                     "on loopback or a management network");
    }
  }
  return report.Finish();
}

}  // namespace norvessa
