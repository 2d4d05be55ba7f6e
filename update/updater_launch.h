#pragma once
// Starting the updater with the configuration as base64 JSON on its command line.

#include <string>

#include "config/updater_settings.h"
#include "platform/processes.h"

namespace halcyra {

// A quotation mark followed by the base64 text of toJson() in UTF-16LE; empty when the
// encoder fails.
std::u16string buildUpdaterCommandLine(const UpdaterConfig& config);

// Starts updaterPath in the pass's job with `startupInfo`; false after setting hasError
// and lastError when no process was created.
bool launchUpdater(UpdaterSettings& settings, platform::Handle token, platform::StartupInfoExW* startupInfo,
                   platform::ProcessInformation& processInfo);

}  // namespace halcyra
