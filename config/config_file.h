#pragma once
// Locating and reading the updater configuration file below installRoot.

#include <optional>
#include <string>
#include <string_view>

#include "config/updater_settings.h"

namespace halcyra {

// The lastError texts of a configuration that could not be read.
inline constexpr char kConfigMissing[] = "Updater config doesn't exist";
inline constexpr char kConfigUnreadable[] = "Updater config has parse error";

// The parent of `path` under Windows path rules: both separators, drive designators,
// UNC server names and the \\?\, \\.\ and \??\ prefixes form the root, which is never cut.
std::u16string parentPath(std::u16string_view path);

// `path` made absolute against the current directory, as a launch resolves it; empty when
// the system rejects it.
std::u16string fullPathOf(const std::u16string& path);

// The folder above the folder that holds the executable at `modulePath`.
std::u16string installRootOf(std::u16string_view modulePath);

// The full path of the configuration file `configPath` (relative to installRoot), or
// nothing when `configPath` is not valid in the file-name code page or the executable's
// path cannot be read.
std::optional<std::u16string> configFilePath(const std::string& configPath);

// Reads the configuration file `configPath` (relative to installRoot) into `settings`
// with fromJson. False after setting hasError and lastError; when the file was read but
// rejected, `rejectedBytes` (if given) receives its bytes, which explainConfigText
// (config/config_explanation.h) explains; otherwise it is left as it was.
bool loadUpdaterConfig(UpdaterSettings& settings, const std::string& configPath,
                       std::optional<std::string>* rejectedBytes = nullptr);

}  // namespace halcyra
