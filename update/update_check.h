#pragma once
// The update decision: whether the updater is to be started instead of the server.

#include <string>

#include "config/updater_settings.h"

namespace halcyra {

// Loads the configuration, reads the local product version of `appPath` (the service's
// own executable when empty), fetches the release manifest and sets updateAvailable.
// Every failure leaves hasError, a fixed lastError text and updateAvailable false.
void checkForUpdate(UpdaterSettings& settings, const std::string& configPath, const std::u16string& appPath);

// Remote newer by major, minor and revision (build ignored), and either useLatest or a
// different major.minor.
bool isUpdateDue(const VersionNumber& local, const VersionNumber& remote, bool useLatest);

}  // namespace halcyra
