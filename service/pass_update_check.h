#pragma once
// The update check exactly as every supervisor pass runs it, shared with the update-check
// diagnostic so that both see the same configuration, server and decision.

#include "config/updater_settings.h"
#include "platform/types.h"
#include "update/update_check.h"

namespace halcyra {

// Below the install root, which is the current directory of the service and of the
// diagnostic.
inline constexpr char kPassConfigPath[] = "resources\\updater\\config.json";
// Relative to the current directory; the local version is read from it.
inline constexpr char16_t kServerFileName[] = u"HalcyraServer.exe";

// Runs checkForUpdate on the pass's configuration and server. The check must not take the
// pass down with it: an error raised inside (an existence test that met an unexpected
// system error, exhausted memory) counts as a failed check with no update due, so the
// server runs. Returns false in that case, when `settings` tells nothing about why. A
// signalled cancelEvent (manual-reset, or null for none) cuts the manifest transfer short.
// `detail`, when given, receives the evidence behind the outcome.
bool runPassUpdateCheck(UpdaterSettings& settings, platform::Handle cancelEvent = nullptr,
                        UpdateCheckDetail* detail = nullptr);

}  // namespace halcyra
