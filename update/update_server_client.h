#pragma once
// The release manifest: one libcurl transfer of "latest/" + versionFile below the
// configured server, and the parse of the JSON body into the announced version and files.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "config/updater_settings.h"

namespace halcyra {

// A manifest is a few hundred bytes; a body beyond this is not one. A transfer that would
// exceed it is aborted and keeps none of its bytes, so the parse rejects it.
inline constexpr std::size_t kMaxManifestBytes = std::size_t{1} << 20;

// Results of parseReleaseManifest.
inline constexpr int kManifestRead = 0;
inline constexpr int kManifestNotJson = -1;     // not one well-formed JSON text
inline constexpr int kManifestIncomplete = -2;  // "Version" or "Files" missing or of the wrong type

// server + "/" + path, the address of one transfer: the separator is always inserted and
// nothing is normalised, the server value is used exactly as configured.
std::u16string transferUrl(std::u16string_view server, std::u16string_view path);

// The release manifest's path below the server: "latest/" + versionFile.
std::u16string releaseManifestPath(std::u16string_view versionFile);

// The part of the server's manifest that the update check keeps.
struct ReleaseManifest {
  std::u16string version;
  std::vector<std::u16string> files;
};

// The user pointer of libcurl's write callback: where one transfer's bytes go.
struct WriteContext {
  std::string* sink = nullptr;
  std::size_t limit = kMaxManifestBytes;  // bytes this transfer may add to the sink
  std::size_t received = 0;
  bool refused = false;  // a chunk was turned away, which makes libcurl abort the transfer
};

// libcurl's write callback: appends the n = size * count bytes to the context's sink and
// returns n. Returns 0 (libcurl then aborts with CURLE_WRITE_ERROR) when the bytes would
// exceed the context's limit or the sink cannot take them, so that a body is never
// silently incomplete.
std::size_t writeToStream(char* data, std::size_t size, std::size_t count, void* context);

// One update check's conversation with the update server. It keeps its own copy of the
// configuration; the manifest's version replaces the copy's `version` once a parse
// succeeds, and the caller's record is never written.
class UpdateServerClient {
 public:
  explicit UpdateServerClient(const UpdaterConfig& configuration);
  UpdateServerClient(const UpdateServerClient&) = delete;
  UpdateServerClient& operator=(const UpdateServerClient&) = delete;

  // The body received for "latest/" + versionFile, possibly empty or partial: a failed
  // transfer is reported only through what arrived.
  std::string fetchReleaseManifest();

  // One transfer of server + "/" + path, appending the body to `sink`. True only when
  // libcurl reports success; otherwise "curl told us <code>" goes to standard output.
  bool downloadToStream(std::u16string_view path, std::string& sink);

  // kManifestRead with manifest() filled, or a negative result with manifest() unchanged.
  // The body ends at its first zero byte.
  int parseReleaseManifest(const std::string& body);

  // The configured version until a parse succeeds, then the manifest's.
  ReleaseManifest manifest() const;

 private:
  UpdaterConfig configuration_;
  std::vector<std::u16string> files_;
};

}  // namespace halcyra
