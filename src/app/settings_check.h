#ifndef NORVESSA_APP_SETTINGS_CHECK_H_
#define NORVESSA_APP_SETTINGS_CHECK_H_

#include <ostream>

#include "app/platform.h"

namespace norvessa {

// apinorvessa --check: reads both settings files, opens one database
// connection and asks it a trivial query, and prints what it found, then
// one line per problem ("problem: ...", the service could not start) and
// per warning ("warning: ...", it would start without it). Returns the exit
// status: 1 when there is a problem, else 0. Starts no listener and writes
// no settings file.
int RunSettingsCheck(Platform& platform, std::ostream& out);

}  // namespace norvessa

#endif  // NORVESSA_APP_SETTINGS_CHECK_H_
