#pragma once
// Locating and reading the updater configuration file below installRoot.

#include <string>
#include <string_view>

#include "config/updater_settings.h"

namespace halcyra {

// The parent of `path` under Windows path rules: both separators, drive designators,
// UNC server names and the \\?\, \\.\ and \??\ prefixes form the root, which is never cut.
std::u16string parentPath(std::u16string_view path);

// The folder above the folder that holds the executable at `modulePath`.
std::u16string installRootOf(std::u16string_view modulePath);

// Reads the configuration file `configPath` (relative to installRoot) into `settings`
// with fromJson. False after setting hasError and lastError.
bool loadUpdaterConfig(UpdaterSettings& settings, const std::string& configPath);

}  // namespace halcyra
