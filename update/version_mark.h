#pragma once
// The version mark: for each manifest address, the highest Version the service has accepted
// from a validly signed manifest. A signed manifest that announces a lower version is an
// old one served again (a replay), which would keep a machine on an old release.
//
// The marks are string values of the key kVersionMarkKey below HKEY_LOCAL_MACHINE, named
// by the manifest's address (server + "/latest/" + versionFile), in
// the dotted form. Below HKLM\SOFTWARE only SYSTEM and the Administrators can write; the key
// survives restarts of the service and upgrades of the package, and the uninstall removes
// it. Another address (another channel) starts without a mark; a new key keeps it.

#include <optional>
#include <string>

#include "version/version_number.h"

namespace halcyra {

inline constexpr char16_t kVersionMarkKey[] = u"SOFTWARE\\Halcyra\\HalcyraService\\ManifestVersions";

// The mark of `address`; none when there is none or it cannot be read.
std::optional<VersionNumber> readVersionMark(const std::u16string& address);

// Sets the mark of `address` to `version`; false when the registry refused.
bool writeVersionMark(const std::u16string& address, const VersionNumber& version);

// `a` comes before `b` in the order of the four parts.
bool versionBefore(const VersionNumber& a, const VersionNumber& b);

}  // namespace halcyra
