#include "app/norvessa_form.h"

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "app/conexao.h"
#include "app/program_paths.h"
#include "framework/ascii.h"
#include "serialize/dataset_error.h"
#include "serialize/regional.h"

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
// whole number from 1 up.
std::int64_t ReadLimit(Platform& platform, const std::string& file,
                       const char* key, std::int64_t fallback) {
  const std::string text = platform.ReadIniString(file, "API", key, "");
  const std::string_view value = TrimBlanks(text);
  if (value.empty()) return fallback;
  if (const auto number = TryParseInteger(value, 1, INT32_MAX)) {
    return *number;
  }
  const std::string line = "Norvessa.ini [API] " + std::string(key) + "='" +
                           text +
                           "' is not a whole number from 1 to 2147483647: "
                           "using " +
                           std::to_string(fallback) + "\n";
  const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
  return fallback;
}

}  // namespace

ServerLimits ReadServerLimits(Platform& platform, const std::string& file,
                              ServerLimits limits) {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  using std::chrono::seconds;
  const ServerLimits defaults;
  limits.request_deadline = duration_cast<milliseconds>(seconds(
      ReadLimit(platform, file, "PrazoRequisicao",
                duration_cast<seconds>(defaults.request_deadline).count())));
  limits.max_connections = static_cast<int>(
      ReadLimit(platform, file, "MaxConexoes", defaults.max_connections));
  constexpr std::uint64_t kMiB = 1024 * 1024;
  limits.body_budget =
      static_cast<std::uint64_t>(
          ReadLimit(platform, file, "MaxCorposMiB",
                    static_cast<std::int64_t>(defaults.body_budget / kMiB))) *
      kMiB;
  return limits;
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
    platform_.ShowMessage("Arquivo Norvessa.ini não foi encontrado!");
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
  } catch (const std::exception& e) {
    platform_.MessageBox(e.what(), kErrorCaption);
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
  // The IP text is kept but takes no part: the server listens on every
  // local address.
  const int port = PortFromText(platform_.ControlText(Control::kEdPorta));
  host_.Listen(port,
               ReadServerLimits(platform_, settings, host_.api().limits()));
}

void NorvessaForm::Stop() { host_.StopListen(); }

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
                         "Arquivo INI deve estar na Pasta Config");
    platform_.Terminate();
    return false;
  }
  try {
    const std::string host_name =
        platform_.ReadIniString(connection_file, "SERVER", "HOSTNAME", "");
    if (host_name.empty()) {
      platform_.ShowMessage("Problemas de Conexão!");
      platform_.Terminate();
      return false;
    }
    Conexao conexao(platform_, host_);
    if (!conexao.Conectar(connection_file)) {
      platform_.ShowMessage("Não foi Possível Conectar ao Banco de Dados...");
      platform_.Terminate();
      return false;
    }
    std::string empresa =
        platform_.ReadIniString(ServiceSettingsFile(), "API", "Empresa", "");
    if (empresa.empty()) empresa = "1";
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
    // The operator sees the fixed message; the cause goes to stderr.
    const std::string line = "Conectar: " + std::string(e.what()) + "\n";
    const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
    platform_.ShowMessage("Erro de Conexão ao Banco...");
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
