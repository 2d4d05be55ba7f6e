#pragma once
// The release manifest: one libcurl transfer of "latest/" + versionFile below the
// configured server, and the parse of the JSON body into the announced version and files.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/updater_settings.h"
#include "platform/types.h"

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

// How long one manifest transfer may take and whom it trusts. The service always runs
// with the defaults; tests shorten a stall instead of waiting it out, and trust the
// certificate authority of their own TLS server.
struct TransferOptions {
  // Name resolution, TCP and TLS handshakes together. A reachable server answers within
  // a second; 15 s leaves room for a slow name lookup and for lost connection requests,
  // which TCP repeats after pauses of a few seconds.
  long connectTimeoutMs = 15000;
  // A transfer that moves at all, however slowly, goes on; one that receives nothing for
  // lowSpeedSeconds (a server that accepted and went silent, a swallowed reply) ends with
  // CURLE_OPERATION_TIMEDOUT. 20 s of silence is far beyond a working server's answer.
  long lowSpeedBytesPerSecond = 1;
  long lowSpeedSeconds = 20;
  // The ceiling for all the transfers of one client (the manifest and its signature
  // together) when they keep trickling just fast enough: the server then starts no later
  // than 3 s (the first pass's wait) + 60 s after the service runs, signed or not.
  long totalTimeoutMs = 60000;
  // PEM file of the certificate authorities to trust; empty leaves libcurl's own choice:
  // the system bundle with OpenSSL, the machine's certificate store with Schannel.
  std::string certificateAuthorityFile;
};

// What one transfer ended with, as libcurl reported it: the evidence behind a failed check.
struct TransferResult {
  int curlCode = -1;                // CURLcode; -1 before any transfer, or when no handle could be had
  std::string curlMessage;          // libcurl's own description of the failure, empty on success
  long responseCode = 0;            // the last HTTP status or FTP reply code, 0 when none arrived
  long long retryAfterSeconds = 0;  // a Retry-After header's delay (seconds or a date), 0 for none
};

// One update check's conversation with the update server. It keeps its own copy of the
// configuration; the manifest's version replaces the copy's `version` once a parse
// succeeds, and the caller's record is never written.
class UpdateServerClient {
 public:
  // A signalled cancelEvent (a manual-reset event, or null for none) ends a running
  // transfer within about a second.
  explicit UpdateServerClient(const UpdaterConfig& configuration, platform::Handle cancelEvent = nullptr);
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

  // Only tests change the options; inline, so that the service does not carry it.
  void setTransferOptions(const TransferOptions& options) { options_ = options; }

  // How the most recent transfer ended.
  const TransferResult& lastTransfer() const { return lastTransfer_; }

 private:
  // The part of the configuration that the conversation uses, copied.
  struct Configuration {
    std::u16string server;
    std::u16string login;
    std::u16string password;
    std::u16string versionFile;
    std::u16string version;
  } configuration_;
  platform::Handle cancelEvent_;
  TransferOptions options_;
  // What is left of totalTimeoutMs for the transfer about to start, in milliseconds.
  long remainingTimeMs();
  std::vector<std::u16string> files_;
  TransferResult lastTransfer_;
  // When the first transfer began, from which totalTimeoutMs counts.
  std::optional<std::uint64_t> firstTransferStart_;  // platform::realTimeMs
};

}  // namespace halcyra
