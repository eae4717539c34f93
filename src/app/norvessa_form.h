#ifndef NORVESSA_APP_NORVESSA_FORM_H_
#define NORVESSA_APP_NORVESSA_FORM_H_

#include <memory>
#include <optional>
#include <string>

#include "app/platform.h"
#include "app/service_host.h"

namespace norvessa {

// The control window's logic, apart from any toolkit: the view calls these
// operations and the platform shows what they set.
class NorvessaForm {
 public:
  static constexpr const char* kCaption = "API Norvessa";
  // The caption of the box that shows an error of the start sequence.
  static constexpr const char* kErrorCaption = "APINorvessa";

  NorvessaForm(Platform& platform, ServiceHost& host);

  // Sets the controls' initial state, then loads the port and IP texts
  // from the service settings file.
  void FormCreate();
  void BtStartClick();
  void BtStopClick();
  void FormClose();

  // The start sequence; errors of steps 1 and 5 leave it.
  void Start();
  void Stop();
  void Status();
  // Opens the database and fills the status bar; false after a failure,
  // which has shown its message and asked for the end of the program.
  bool Conectar();
  std::string VersaoExe(const std::string& file);

  std::string ServiceSettingsFile();
  std::string ConnectionSettingsFile();

 private:
  // [API] PortaAdmin and IPAdmin; nothing when PortaAdmin is absent or
  // empty. A port that is not one fails the start.
  std::optional<AdminSettings> ReadAdminSettings(const std::string& settings);

  Platform& platform_;
  ServiceHost& host_;
};

// The port text as a number: decimal digits with an optional sign; fails
// with the conversion error, and above 65535 with a message of its own.
int PortFromText(const std::string& text);

// `limits` with the server's limits that [API] of the service settings
// file sets: PrazoRequisicao (seconds), MaxConexoes and MaxCorposMiB. A
// missing or empty key gives the default; a value that is not a whole
// number from 1 to 2147483647 gives it too, with a line on stderr.
ServerLimits ReadServerLimits(Platform& platform, const std::string& file,
                              ServerLimits limits);

// [API] IPsPermitidos and IPsProxy: who may use the service; nothing when
// IPsPermitidos is absent or empty (everyone). An element that is not an
// address or a CIDR range fails with DetailedError naming it.
std::shared_ptr<const AccessRules> ReadAccessRules(Platform& platform,
                                                   const std::string& file);

}  // namespace norvessa

#endif  // NORVESSA_APP_NORVESSA_FORM_H_
