#pragma once
// The updater configuration record, its JSON form, and the status of one update check.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/trust_settings.h"
#include "version/version_number.h"

namespace halcyra {

struct UpdaterConfig {
  std::uint32_t pid = 0;
  std::u16string versionFile;
  std::vector<std::u16string> files;
  std::u16string server;
  std::u16string appFolder;
  std::u16string relativeAppPath;
  std::u16string login;
  std::u16string password;
  std::u16string version;
  std::u16string tempFolder;
  std::u16string updaterPath;
  std::int32_t useGUI = 0;
  bool autoUpdate = false;
  bool serverOneVersion = false;
  bool useLatest = false;
  bool enableUpdate = false;

  // Fills the fields from a JSON text (which ends at its first U+0000); true when the
  // text is an acceptable configuration. Fields are assigned as members are read, so a
  // rejected text may leave some of them set.
  bool fromJson(std::u16string_view text);
  // The compact JSON text of the configuration, members in their fixed order.
  std::u16string toJson() const;

  friend bool operator==(const UpdaterConfig&, const UpdaterConfig&) = default;
};

struct UpdaterSettings : UpdaterConfig {
  // Service-only values of the configuration file, never handed to the updater.
  // minCheckInterval: seconds after a manifest was read during which passes take its
  // version again instead of asking the update server (0: every pass asks).
  std::uint32_t minCheckInterval = 0;
  // logRotationSize: bytes from which the service's log is rotated (0: never, the log grows
  // until the service starts again); logGenerations: how many rotated logs are kept, 1 to 9.
  std::uint64_t logRotationSize = std::uint64_t{16} << 20;
  std::uint32_t logGenerations = 3;

  // fromJson, and then the service-only values (this interval and `trust`) from the same
  // parse of the same text; `trust` is left as it was when the text is rejected.
  bool readJson(std::u16string_view text);

  bool hasError = false;
  std::string lastError;
  bool updateAvailable = false;
  VersionNumber remoteVersion;
  VersionNumber localVersion;
  // Read by readJson, for the service alone; toJson never writes them.
  TrustSettings trust;
  ManifestSignatureStatus manifestSignature = ManifestSignatureStatus::notChecked;
  // The signed manifest's Expires, as written, once its signature verified.
  std::string manifestExpires;
  // The version mark of the manifest's address as the check found it, once a signed
  // manifest's version was compared with it.
  std::optional<VersionNumber> versionMark;
};

}  // namespace halcyra
