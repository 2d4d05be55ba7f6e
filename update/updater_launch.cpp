#include "update/updater_launch.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "platform/base64.h"

namespace halcyra {

namespace {

constexpr char kLaunchFailed[] = "Can't launch updater";

// Standard base64 on one line: no CR LF every 64 characters.
constexpr platform::Dword kBase64OneLine = platform::kCryptStringBase64 | platform::kCryptStringNoCrlf;

// Same as for the server: no console window, an attribute list (inherited log handle and
// the pass's job) in the startup information, a UTF-16 environment block.
constexpr platform::Dword kUpdaterCreationFlags =
    platform::kCreateNoWindow | platform::kExtendedStartupInfoPresent | platform::kCreateUnicodeEnvironment;

}  // namespace

std::u16string buildUpdaterCommandLine(const UpdaterConfig& config) {
  std::u16string const json = config.toJson();

  // UTF-16LE: low byte first, no byte-order mark, no terminator.
  std::vector<std::uint8_t> bytes(json.size() * 2);
  for (std::size_t i = 0; i < json.size(); ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(json[i] & 0xFFu);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(json[i] >> 8);
  }
  if (bytes.size() > std::numeric_limits<platform::Dword>::max()) {
    return {};
  }
  auto const byteCount = static_cast<platform::Dword>(bytes.size());

  // The first call asks for the length, terminator included; the second writes the text.
  platform::Dword length = 0;
  if (platform::CryptBinaryToStringW(bytes.data(), byteCount, kBase64OneLine, nullptr, &length) == platform::kFalse ||
      length == 0) {
    return {};
  }
  // One opening quotation mark and no closing one: split by the usual rules, the line is
  // exactly one argument, the base64 text, which the encoder writes right after the mark.
  std::u16string commandLine(std::size_t{length} + 1, u'\0');
  commandLine[0] = u'"';
  platform::Dword written = length;
  if (platform::CryptBinaryToStringW(bytes.data(), byteCount, kBase64OneLine, commandLine.data() + 1, &written) ==
      platform::kFalse) {
    return {};
  }
  // The text runs to its terminator; whatever the encoder reports as written, nothing
  // past the buffer is read.
  commandLine.resize(std::min(commandLine.find(u'\0', 1), commandLine.size()));
  if (commandLine.size() == 1) {
    return {};
  }
  return commandLine;
}

bool launchUpdater(UpdaterSettings& settings, platform::Handle token, platform::StartupInfoExW* startupInfo,
                   platform::ProcessInformation& processInfo) {
  std::u16string commandLine = buildUpdaterCommandLine(settings);
  // Without its configuration the updater has nothing to work on: an encoder failure is
  // a failed launch, not a launch with an empty command line.
  if (commandLine.empty() || startupInfo == nullptr) {
    settings.hasError = true;
    settings.lastError = kLaunchFailed;
    return false;
  }

  // CreateProcessAsUserW may write into its command line: it gets this buffer, which is
  // the launch's own and ends with its terminator.
  platform::Bool const created = platform::CreateProcessAsUserW(
      token, settings.updaterPath.c_str(), commandLine.data(), nullptr, nullptr, platform::kTrue, kUpdaterCreationFlags,
      nullptr, nullptr, &startupInfo->StartupInfo, &processInfo);
  if (created == platform::kFalse) {
    settings.hasError = true;
    settings.lastError = kLaunchFailed;
    return false;
  }
  return true;
}

}  // namespace halcyra
