#pragma once
// Locating and reading the updater configuration file below installRoot.

#include <cstddef>
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

// Why a configuration file's bytes were rejected, in terms an administrator can act on.
struct ConfigTextProblem {
  // Where reading stopped, when it stopped at a place: the offset into the text as read
  // (CR LF counted as one line break), and its 1-based line and column.
  std::optional<std::size_t> offset;
  std::size_t line = 0;
  std::size_t column = 0;
  std::string reason;  // ASCII
};

// The reason the bytes of a configuration file (as read in text mode, zero bytes kept)
// are not an acceptable configuration: a byte-order mark or UTF-16 text named as such,
// else the JSON parser's error and where it occurred, else the first required member
// that is missing or of the wrong type. Meaningful only for bytes that fromJson rejects.
ConfigTextProblem explainConfigText(std::string_view bytes);

// Reads the configuration file `configPath` (relative to installRoot) into `settings`
// with fromJson. False after setting hasError and lastError; when the file was read but
// rejected, `rejectedBytes` (if given) receives its bytes, which explainConfigText explains.
bool loadUpdaterConfig(UpdaterSettings& settings, const std::string& configPath,
                       std::string* rejectedBytes = nullptr);

}  // namespace halcyra
