#pragma once
// The update decision: whether the updater is to be started instead of the server.

#include <optional>
#include <string>
#include <string_view>

#include "config/config_file.h"
#include "config/updater_settings.h"
#include "platform/types.h"
#include "update/update_schedule.h"
#include "update/update_server_client.h"

namespace halcyra {

// The lastError texts of a manifest that was not usable: no JSON manifest came back
// (unreachable server, failed transfer, invalid body), or its version is not a version.
inline constexpr char kManifestRejected[] = "Invalid remote update config";
inline constexpr char kRemoteVersionRejected[] = "Can't connect to update service";

// How far a check got. The check goes through the stages in this order and stops at its
// first failure; what the record holds is set by the stage that reached it.
enum class CheckStage {
  started,            // the configuration was missing or rejected
  configurationRead,  // updates disabled end the check here, without an error
  updaterFound,       // the updater exists
  localVersionRead,   // the application folder is derived and the server's version read
  manifestFetched,    // the update server was asked; `transfer` says how that went
  signatureVerified,  // the manifest's signature holds, or none is asked for
  manifestRead,       // the body is a manifest; the record holds the local version
  decided,            // the announced version is compared: updateAvailable is the outcome
};

// The evidence behind a check's outcome, beside the record's fixed lastError texts: what
// a person needs to put a failure right.
struct UpdateCheckDetail {
  CheckStage stage = CheckStage::started;
  // The bytes of a configuration file that was read and rejected, for explainConfigText:
  // the explanation is the diagnostic's, so the service carries none of it.
  std::optional<std::string> rejectedConfig;
  // The manifest transfer, once one was made, and what the parse made of its body.
  std::optional<TransferResult> transfer;
  int manifestParse = kManifestRead;
};

// How a scheduled check learns the announced version: from the update server, from the
// last manifest read (`reused`), or not at all, when it fails with `skipFailure` (the
// manifest's rejection text when empty) as a failed fetch does.
struct ManifestSource {
  ManifestPlan plan = ManifestPlan::fetch;
  VersionNumber reused;
  std::string skipFailure;
  // A signed manifest's version, once accepted, raises the version mark of its address:
  // only the service's own pass does this.
  bool raiseVersionMark = false;
};

// Whether the check asked the update server, and how the transfer ended; the manifest's
// address once the check got that far (empty when it ended before).
struct ManifestOutcome {
  std::u16string address;
  bool fetched = false;
  TransferResult transfer;
};

// checkForUpdate with the manifest taken as `source` says. Everything else of the check
// (configuration, updater path, appFolder, pid, local version, decision) is the same.
void checkForUpdate(UpdaterSettings& settings, const std::string& configPath, const std::u16string& appPath,
                    platform::Handle cancelEvent, const ManifestSource& source, ManifestOutcome& outcome,
                    UpdateCheckDetail* detail = nullptr);

// Loads the configuration, reads the local product version of `appPath` (the service's
// own executable when empty), fetches the release manifest and sets updateAvailable.
// Every failure leaves hasError, a fixed lastError text and updateAvailable false. A
// signalled cancelEvent (manual-reset, or null for none) cuts the manifest transfer short,
// which then fails like any other. `detail`, when given, receives the evidence. Inline:
// the service itself always checks with a source, so its executable does not carry this.
inline void checkForUpdate(UpdaterSettings& settings, const std::string& configPath, const std::u16string& appPath,
                           platform::Handle cancelEvent = nullptr, UpdateCheckDetail* detail = nullptr) {
  ManifestOutcome outcome;
  checkForUpdate(settings, configPath, appPath, cancelEvent, ManifestSource{}, outcome, detail);
}

// The application executable as the check sees it.
struct AppLocation {
  std::u16string absolutePath;  // what the local version is read from
  std::u16string folder;        // handed to the updater as appFolder
};

// Makes `appPath` (the service's own executable when empty) absolute with the platform's
// full-path rules and removes its last length(relativeAppPath) + 1 units, taken to be a
// separator and relativeAppPath without comparing them. Empty when the path cannot be
// determined or relativeAppPath is not shorter than it.
std::optional<AppLocation> deriveAppFolder(const std::u16string& appPath, std::u16string_view relativeAppPath);

// Remote newer by major, minor and revision (build ignored), and either useLatest or a
// different major.minor.
bool isUpdateDue(const VersionNumber& local, const VersionNumber& remote, bool useLatest);

}  // namespace halcyra
