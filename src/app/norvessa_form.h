#ifndef NORVESSA_APP_NORVESSA_FORM_H_
#define NORVESSA_APP_NORVESSA_FORM_H_

#include <cstdint>
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

// A whole-number key of [API] and the values it takes.
struct LimitKey {
  const char* name;
  std::int64_t low;
  std::int64_t high;
};
inline constexpr LimitKey kPrazoRequisicao{"PrazoRequisicao", 1, INT32_MAX};
inline constexpr LimitKey kMaxConexoes{"MaxConexoes", 1, INT32_MAX};
inline constexpr LimitKey kMaxConexoesPorIP{"MaxConexoesPorIP", 1, INT32_MAX};
inline constexpr LimitKey kMaxCorposMiB{"MaxCorposMiB", 1, INT32_MAX};
// A request waits at most a minute for a chain slot; 0 does not wait.
inline constexpr LimitKey kEsperaVagaMs{"EsperaVagaMs", 0, 60000};
inline constexpr LimitKey kLimitKeys[] = {kPrazoRequisicao, kMaxConexoes,
                                          kMaxConexoesPorIP, kMaxCorposMiB,
                                          kEsperaVagaMs};

// The value of one limit: `fallback` when the key is missing or empty,
// and also, with the reason in `problem`, when it is not a whole number in
// the key's range.
std::int64_t CheckLimit(Platform& platform, const std::string& file,
                        const LimitKey& key, std::int64_t fallback,
                        std::string& problem);

// `limits` with the server's limits that [API] of the service settings
// file sets: PrazoRequisicao (seconds), MaxConexoes, MaxConexoesPorIP,
// MaxCorposMiB and EsperaVagaMs. A missing or empty key gives the default;
// a value outside its range gives it too, with a line on stderr.
ServerLimits ReadServerLimits(Platform& platform, const std::string& file,
                              ServerLimits limits);

// [API] IPsPermitidos, IPsProxy, OrigensPermitidas and HostsPermitidos:
// who may use the service, from which browser origins, naming which
// hosts. An element that is not an address or a CIDR range, an origin or
// a host fails with DetailedError naming it.
std::shared_ptr<const AccessRules> ReadAccessRules(Platform& platform,
                                                   const std::string& file);

// [API] IPEscuta: the one local address to listen on, "0.0.0.0" (every
// local address) when empty. Anything but an IP address fails with
// DetailedError.
std::string ReadListenAddress(Platform& platform, const std::string& file);

}  // namespace norvessa

#endif  // NORVESSA_APP_NORVESSA_FORM_H_
