#include "update/update_check.h"

#include <curl/curl.h>

#include <string>
#include <utility>
#include <vector>

#include "config/config_file.h"
#include "platform/file_existence.h"
#include "platform/files.h"
#include "platform/module_path.h"
#include "platform/processes.h"
#include "update/manifest_signature.h"
#include "update/text_conversion.h"
#include "update/update_server_client.h"
#include "update/version_mark.h"
#include "version/version_number.h"

namespace halcyra {

namespace {

constexpr char kUpdaterPathMissing[] = "Updater path is not configured";
constexpr char kUpdaterAbsentSuffix[] = " doesn't exist";
constexpr char kUpdaterUncheckableSuffix[] = " can't be accessed";
constexpr char kAppFolderUnknown[] = "Application folder can't be derived";

void fail(UpdaterSettings& settings, std::string text) {
  settings.hasError = true;
  settings.updateAvailable = false;
  settings.lastError = std::move(text);
}

}  // namespace

std::optional<AppLocation> deriveAppFolder(const std::u16string& appPath, std::u16string_view relativeAppPath) {
  std::u16string const path = appPath.empty() ? platform::modulePath().value_or(std::u16string()) : appPath;
  if (path.empty()) {
    return std::nullopt;
  }
  std::u16string absolutePath = fullPathOf(path);
  if (absolutePath.empty()) {
    return std::nullopt;
  }

  // The configured value ends at its first U+0000 like every text of the configuration.
  std::size_t const relativeLength = relativeAppPath.substr(0, relativeAppPath.find(u'\0')).size();
  if (relativeLength + 1 > absolutePath.size()) {
    return std::nullopt;
  }
  std::u16string folder = absolutePath.substr(0, absolutePath.size() - relativeLength - 1);
  return AppLocation{std::move(absolutePath), std::move(folder)};
}

bool isUpdateDue(const VersionNumber& local, const VersionNumber& remote, bool useLatest) {
  // build takes no part: a release that differs only there is not newer.
  bool newer = false;
  if (remote.major != local.major) {
    newer = remote.major > local.major;
  } else if (remote.minor != local.minor) {
    newer = remote.minor > local.minor;
  } else {
    newer = remote.revision > local.revision;
  }
  if (!newer) {
    return false;
  }
  // Without useLatest only a new major.minor is worth an update.
  return useLatest || local.major != remote.major || local.minor != remote.minor;
}

void checkForUpdate(UpdaterSettings& settings, const std::string& configPath, const std::u16string& appPath,
                    platform::Handle cancelEvent, const ManifestSource& source, ManifestOutcome& outcome,
                    UpdateCheckDetail* detail) {
  outcome = ManifestOutcome{};
  settings.updateAvailable = false;
  UpdateCheckDetail unused;
  UpdateCheckDetail& evidence = detail != nullptr ? *detail : unused;
  evidence = UpdateCheckDetail{};
  if (!loadUpdaterConfig(settings, configPath, &evidence.rejectedConfig)) {
    return;
  }
  evidence.stage = CheckStage::configurationRead;
  if (!settings.enableUpdate) {
    return;
  }

  if (settings.updaterPath.empty()) {
    fail(settings, kUpdaterPathMissing);
    return;
  }
  platform::ExistenceResult const updater = platform::testExistence(settings.updaterPath.c_str());
  if (updater.existence != platform::Existence::present) {
    // Unknown is access denied or a similar refusal: the updater could not be started either.
    std::string text = narrowByTruncation(settings.updaterPath);
    text += updater.existence == platform::Existence::absent ? kUpdaterAbsentSuffix : kUpdaterUncheckableSuffix;
    fail(settings, std::move(text));
    return;
  }
  evidence.stage = CheckStage::updaterFound;

  // The client copies the configuration as loaded, before pid and appFolder are filled in.
  UpdateServerClient client(settings, cancelEvent);
  // Requested on every check that gets this far and never undone; libcurl counts the
  // calls itself, and a failure shows up as a failed transfer.
  static_cast<void>(curl_global_init(CURL_GLOBAL_ALL));

  std::optional<AppLocation> const app = deriveAppFolder(appPath, settings.relativeAppPath);
  if (!app) {
    fail(settings, kAppFolderUnknown);
    return;
  }
  settings.appFolder = app->folder;
  settings.pid = platform::GetCurrentProcessId();

  std::u16string const localText = readProductVersion(app->absolutePath);
  evidence.stage = CheckStage::localVersionRead;

  outcome.address = transferUrl(settings.server, releaseManifestPath(settings.versionFile));
  if (settings.trust.manifestPublicKey) {
    settings.versionMark = readVersionMark(outcome.address);
  }
  if (source.plan == ManifestPlan::skip) {
    fail(settings, source.skipFailure.empty() ? std::string(kManifestRejected) : source.skipFailure);
    return;
  }
  if (source.plan == ManifestPlan::reuse) {
    static_cast<void>(parseVersionNumber(localText, settings.localVersion));
    settings.remoteVersion = source.reused;
    settings.updateAvailable =
        settings.autoUpdate && isUpdateDue(settings.localVersion, settings.remoteVersion, settings.useLatest);
    evidence.stage = CheckStage::decided;
    return;
  }

  outcome.fetched = true;
  std::string body = client.fetchReleaseManifest();
  outcome.transfer = client.lastTransfer();
  // The manifest's own transfer is the evidence; the signature's fetch comes after it.
  evidence.transfer = outcome.transfer;
  evidence.stage = CheckStage::manifestFetched;
  if (!checkManifestSignature(settings, client, body)) {
    return;
  }
  evidence.stage = CheckStage::signatureVerified;
  if (std::size_t const end = body.find('\0'); end != std::string::npos) {
    body.resize(end);
  }
  evidence.manifestParse = client.parseReleaseManifest(body);
  if (evidence.manifestParse < 0) {
    fail(settings, kManifestRejected);
    return;
  }

  // The local text comes from a version resource and always has four parts.
  static_cast<void>(parseVersionNumber(localText, settings.localVersion));
  evidence.stage = CheckStage::manifestRead;
  if (!parseVersionNumber(client.manifest().version, settings.remoteVersion)) {
    fail(settings, kRemoteVersionRejected);
    return;
  }
  if (!checkVersionMark(settings, outcome.address, source.raiseVersionMark)) {
    return;
  }

  settings.updateAvailable =
      settings.autoUpdate && isUpdateDue(settings.localVersion, settings.remoteVersion, settings.useLatest);
  evidence.stage = CheckStage::decided;
}

}  // namespace halcyra
