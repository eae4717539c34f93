#include "app/norvessa_form.h"

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "app/conexao.h"
#include "app/detailed_error.h"
#include "app/program_paths.h"
#include "app/stop_budget.h"
#include "serialize/dataset_error.h"
#include "text/ascii.h"
#include "text/number_text.h"

namespace norvessa {

int PortFromText(const std::string& text) {
  const auto port = TryParseInteger(text, INT32_MIN, INT32_MAX);
  if (!port) throw ConvertError(NotAValidInteger(text));
  if (*port > 65535) {
    throw std::runtime_error("'" + text +
                             "' is not a valid port number (0 to 65535)");
  }
  return static_cast<int>(*port);
}

namespace {

// One limit of [API]; `fallback` when the key is missing, empty or not a
// whole number from `low` to `high`, with a line on stderr for the last.
std::int64_t ReadLimit(Platform& platform, const std::string& file,
                       const LimitKey& key, std::int64_t fallback) {
  std::string problem;
  const std::int64_t value = CheckLimit(platform, file, key, fallback, problem);
  if (!problem.empty()) {
    const std::string line = "Norvessa.ini " + problem + "\n";
    const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
  }
  return value;
}

}  // namespace

std::int64_t CheckLimit(Platform& platform, const std::string& file,
                        const LimitKey& key, std::int64_t fallback,
                        std::string& problem) {
  const std::string text = platform.ReadIniString(file, "API", key.name, "");
  const std::string_view value = TrimBlanks(text);
  if (value.empty()) return fallback;
  if (const auto number = TryParseInteger(value, key.low, key.high)) {
    return *number;
  }
  problem = "[API] " + std::string(key.name) + "='" + text +
            "' is not a whole number from " + FormatInteger(key.low) + " to " +
            FormatInteger(key.high) + ": using " + FormatInteger(fallback);
  return fallback;
}

ServerLimits ReadServerLimits(Platform& platform, const std::string& file,
                              ServerLimits limits) {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  using std::chrono::seconds;
  const ServerLimits defaults;
  limits.request_deadline = duration_cast<milliseconds>(seconds(
      ReadLimit(platform, file, kPrazoRequisicao,
                duration_cast<seconds>(defaults.request_deadline).count())));
  limits.max_connections = static_cast<int>(
      ReadLimit(platform, file, kMaxConexoes, defaults.max_connections));
  limits.max_connections_per_address = static_cast<int>(ReadLimit(
      platform, file, kMaxConexoesPorIP, defaults.max_connections_per_address));
  constexpr std::uint64_t kMiB = 1024 * 1024;
  limits.body_budget =
      static_cast<std::uint64_t>(
          ReadLimit(platform, file, kMaxCorposMiB,
                    static_cast<std::int64_t>(defaults.body_budget / kMiB))) *
      kMiB;
  limits.slot_wait = milliseconds(
      ReadLimit(platform, file, kEsperaVagaMs, defaults.slot_wait.count()));
  return limits;
}

std::shared_ptr<const AccessRules> ReadAccessRules(Platform& platform,
                                                   const std::string& file) {
  auto list = [&]<typename List>(const char* key, const char* form) {
    const std::string text = platform.ReadIniString(file, "API", key, "");
    try {
      return List::Parse(text);
    } catch (const AddressListError& e) {
      throw DetailedError("[API] " + std::string(key) + ": " + e.what(),
                          "[API] " + std::string(key) + "='" + text + "' in " +
                              file + ": " + form);
    }
  };
  auto rules = std::make_shared<AccessRules>();
  rules->allowed = list.operator()<AddressList>(
      "IPsPermitidos",
      "a comma-separated list of addresses and CIDR ranges, IPv4 or IPv6");
  rules->proxies = list.operator()<AddressList>(
      "IPsProxy",
      "a comma-separated list of addresses and CIDR ranges, IPv4 or IPv6");
  rules->origins = list.operator()<OriginList>(
      "OrigensPermitidas",
      "a comma-separated list of browser origins, scheme://host[:port]");
  rules->hosts = list.operator()<HostList>(
      "HostsPermitidos",
      "a comma-separated list of host names and addresses, without ports");
  return rules;
}

std::string ReadListenAddress(Platform& platform, const std::string& file) {
  const std::string text = std::string(
      TrimBlanks(platform.ReadIniString(file, "API", "IPEscuta", "")));
  if (text.empty()) return Api::kDefaultHost;
  if (!ParseIpAddress(text)) {
    throw DetailedError(
        "[API] IPEscuta: '" + text + "' is not an IP address",
        "[API] IPEscuta='" + text + "' in " + file +
            ": one local IPv4 or IPv6 address to listen on, or empty for "
            "every local address");
  }
  // Brackets are for URLs; the listener takes the bare address.
  if (text.front() == '[') return text.substr(1, text.size() - 2);
  return text;
}

NorvessaForm::NorvessaForm(Platform& platform, ServiceHost& host)
    : platform_(platform), host_(host) {}

std::string NorvessaForm::ServiceSettingsFile() {
  return ServiceSettingsPath(platform_.DriveRoot());
}

std::string NorvessaForm::ConnectionSettingsFile() {
  return ConnectionSettingsPath(DirectoryOf(platform_.ProgramFilePath()));
}

void NorvessaForm::FormCreate() {
  platform_.SetControlText(Control::kLabel1, "Porta:");
  platform_.SetControlText(Control::kLbIP, "IP:");
  platform_.SetControlText(Control::kEdPorta, "9000");
  platform_.SetControlText(Control::kEdIP, "http://0.0.0.0");
  platform_.SetControlText(Control::kBtStart, "Iniciar");
  platform_.SetControlText(Control::kBtStop, "Parar");
  platform_.SetControlText(Control::kBtConectar, "Conectar");
  platform_.SetControlEnabled(Control::kBtStart, true);
  platform_.SetControlEnabled(Control::kBtStop, false);
  platform_.SetControlVisible(Control::kBtConectar, false);
  platform_.SetStatusPanel(0, "Empresa");
  platform_.SetStatusPanel(1, "Conexão");
  platform_.SetStatusPanel(2, "Versão");

  const std::string settings = ServiceSettingsFile();
  if (!platform_.FileExists(settings)) {
    platform_.ShowMessage("Arquivo Norvessa.ini não foi encontrado!",
                          "Looked for " + settings + " (the root " +
                              platform_.DriveRoot() +
                              " is $NORVESSA_ROOT when set, else the mount "
                              "point of the program's filesystem)");
    platform_.Terminate();
    return;
  }
  // Once the file exists, what it holds replaces the defaults, an empty
  // text included.
  platform_.SetControlText(
      Control::kEdPorta, platform_.ReadIniString(settings, "API", "Porta", ""));
  platform_.SetControlText(Control::kEdIP,
                           platform_.ReadIniString(settings, "API", "IP", ""));
}

void NorvessaForm::BtStartClick() {
  try {
    Start();
  } catch (const DetailedError& e) {
    platform_.MessageBox(e.what(), kErrorCaption, e.detail());
    return;
  } catch (const std::exception& e) {
    platform_.MessageBox(e.what(), kErrorCaption, "");
    return;
  }
  Status();
}

void NorvessaForm::BtStopClick() {
  Stop();
  Status();
  platform_.SetControlVisible(Control::kBtConectar, false);
}

void NorvessaForm::FormClose() {
  if (host_.IsRunning()) Stop();
}

void NorvessaForm::Start() {
  const std::string settings = ServiceSettingsFile();
  platform_.WriteIniString(settings, "API", "Porta",
                           platform_.ControlText(Control::kEdPorta));
  platform_.WriteIniString(settings, "API", "IP",
                           platform_.ControlText(Control::kEdIP));
  if (!Conectar()) return;
  host_.SetUp();
  // The IP text is kept but takes no part: the server listens on the
  // address IPEscuta names, every local address without it.
  const std::string port_text = platform_.ControlText(Control::kEdPorta);
  int port = 0;
  try {
    port = PortFromText(port_text);
  } catch (const std::exception& e) {
    throw DetailedError(e.what(), "[API] Porta='" + port_text + "' in " +
                                      settings +
                                      ": the port is a whole number from 0 "
                                      "to 65535 (0 listens on 9000)");
  }
  host_.SetAdmin(ReadAdminSettings(settings));
  ServerLimits limits =
      ReadServerLimits(platform_, settings, host_.api().limits());
  limits.stop_grace = StopBudget::kInFlightGrace;
  limits.access = ReadAccessRules(platform_, settings);
  host_.Listen(port, limits, ReadListenAddress(platform_, settings));
}

void NorvessaForm::Stop() { host_.StopListen(); }

std::optional<AdminSettings> NorvessaForm::ReadAdminSettings(
    const std::string& settings) {
  const std::string port_text = std::string(
      TrimBlanks(platform_.ReadIniString(settings, "API", "PortaAdmin", "")));
  if (port_text.empty()) return std::nullopt;
  AdminSettings admin;
  try {
    admin.port = PortFromText(port_text);
  } catch (const std::exception& e) {
    throw DetailedError(e.what(), "[API] PortaAdmin='" + port_text + "' in " +
                                      settings +
                                      ": the operators' port is a whole "
                                      "number from 1 to 65535, or empty for "
                                      "none");
  }
  if (admin.port <= 0) {
    throw DetailedError("Invalid port " + port_text,
                        "[API] PortaAdmin='" + port_text + "' in " + settings +
                            ": the operators' port is a whole number from 1 "
                            "to 65535, or empty for none");
  }
  const std::string ip = std::string(
      TrimBlanks(platform_.ReadIniString(settings, "API", "IPAdmin", "")));
  if (!ip.empty()) admin.ip = ip;
  return admin;
}

void NorvessaForm::Status() {
  const bool running = host_.IsRunning();
  platform_.SetControlEnabled(Control::kBtStop, running);
  platform_.SetControlEnabled(Control::kBtStart, !running);
  platform_.SetControlEnabled(Control::kEdPorta, !running);
  platform_.SetControlEnabled(Control::kEdIP, !running);
}

bool NorvessaForm::Conectar() {
  const std::string connection_file = ConnectionSettingsFile();
  if (!platform_.FileExists(connection_file)) {
    platform_.MessageBox("Arquivo CONEXAO.INI não foi encontrado!",
                         "Arquivo INI deve estar na Pasta Config",
                         "Looked for " + connection_file +
                             " (the folder Config beside the program)");
    platform_.Terminate();
    return false;
  }
  // What the start was doing, for the details of an unexpected error.
  std::string step = "Reading " + connection_file;
  try {
    const std::string host_name =
        platform_.ReadIniString(connection_file, "SERVER", "HOSTNAME", "");
    if (host_name.empty()) {
      platform_.ShowMessage(
          "Problemas de Conexão!",
          "[SERVER] HOSTNAME is missing or empty in " + connection_file);
      platform_.Terminate();
      return false;
    }
    step = "Connecting";
    Conexao conexao(platform_, host_);
    if (!conexao.Conectar(connection_file)) {
      platform_.ShowMessage("Não foi Possível Conectar ao Banco de Dados...",
                            conexao.failure());
      platform_.Terminate();
      return false;
    }
    std::string empresa =
        platform_.ReadIniString(ServiceSettingsFile(), "API", "Empresa", "");
    if (empresa.empty()) empresa = "1";
    step = "Reading the trade name of company " + empresa + " ([API] Empresa)";
    platform_.SetStatusPanel(0, BuscarNomeFantasia(*host_.pool(), empresa));
    platform_.SetStatusPanel(1,
                             conexao.data_base() + " / " + conexao.host_name());
    platform_.SetStatusPanel(
        2, "Versão: " + VersaoExe(platform_.ProgramFilePath()));
    platform_.SetControlVisible(Control::kBtConectar, true);
    platform_.SetControlEnabled(Control::kBtConectar, false);
    platform_.SetControlText(Control::kBtConectar, "CONECTADO...");
    return true;
  } catch (const std::exception& e) {
    platform_.ShowMessage("Erro de Conexão ao Banco...",
                          step + ": " + e.what());
    platform_.Terminate();
    return false;
  }
}

std::string NorvessaForm::VersaoExe(const std::string& file) {
  const auto version = platform_.GetFileVersion(file);
  if (!version) return {};
  return FormatInteger(version->major) + "." + FormatInteger(version->minor) +
         "." + FormatInteger(version->release) + "." +
         FormatInteger(version->build);
}

}  // namespace norvessa
