#include "update/update_server_client.h"

#include <curl/curl.h>
#include <rapidjson/document.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <utility>

#include "platform/clock.h"
#include "platform/sync.h"
#include "update/text_conversion.h"

namespace halcyra {

namespace {

// libcurl's progress callback, with the cancel event (possibly null) as its user pointer.
// libcurl calls it about once a second even while nothing arrives, also while it
// connects; a non-zero result aborts the transfer with CURLE_ABORTED_BY_CALLBACK.
int abortWhenCancelled(void* cancelEvent, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return cancelEvent != nullptr && platform::WaitForSingleObject(cancelEvent, 0) == platform::kWaitObject0 ? 1 : 0;
}

}  // namespace

std::size_t writeToStream(char* data, std::size_t size, std::size_t count, void* context) {
  auto& target = *static_cast<WriteContext*>(context);
  std::size_t const n = size * count;
  if (target.refused || n > target.limit - target.received) {
    target.refused = true;
    return 0;
  }
  // No exception may unwind through libcurl's C frames; running out of memory here ends
  // the transfer like an oversized body.
  try {
    target.sink->append(data, n);
  } catch (const std::exception&) {
    target.refused = true;
    return 0;
  }
  target.received += n;
  return n;
}

std::u16string transferUrl(std::u16string_view server, std::u16string_view path) {
  std::u16string url(server);
  url += u'/';
  url += path;
  return url;
}

std::u16string releaseManifestPath(std::u16string_view versionFile) {
  std::u16string path = u"latest/";
  path += versionFile;
  return path;
}

UpdateServerClient::UpdateServerClient(const UpdaterConfig& configuration, platform::Handle cancelEvent)
    : configuration_{configuration.server, configuration.login, configuration.password, configuration.versionFile,
                     configuration.version},
      cancelEvent_(cancelEvent) {}

long UpdateServerClient::remainingTimeMs() {
  // libcurl measures its limits in real time, so the deadline is kept in the same time,
  // not the platform's clock (which a simulated machine runs virtually).
  std::uint64_t const now = platform::realTimeMs();
  if (!firstTransferStart_) {
    firstTransferStart_ = now;
  }
  auto const used = static_cast<long long>(now - *firstTransferStart_);
  // At least a millisecond: 0 would mean no limit at all to libcurl.
  return used + 1 >= options_.totalTimeoutMs ? 1L : static_cast<long>(options_.totalTimeoutMs - used);
}

std::string UpdateServerClient::fetchReleaseManifest() {
  std::string body;
  std::u16string const path = releaseManifestPath(configuration_.versionFile);
  // A failed transfer leaves its trace in the body (empty or partial), which the parse rejects.
  static_cast<void>(downloadToStream(path, body));
  return body;
}

bool UpdateServerClient::downloadToStream(std::u16string_view path, std::string& sink) {
  lastTransfer_ = TransferResult{};
  // Everything that may raise an error is done before the handle exists, and the handle
  // has an owner from its creation on: nothing leaks it.
  std::string const narrowUrl = narrowByTruncation(transferUrl(configuration_.server, path));
  std::string const login = narrowByTruncation(configuration_.login);
  std::string const password = narrowByTruncation(configuration_.password);
  lastTransfer_.curlMessage.reserve(CURL_ERROR_SIZE);

  std::size_t const sizeBefore = sink.size();
  WriteContext context;
  context.sink = &sink;

  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> const handle(curl_easy_init(), &curl_easy_cleanup);
  CURL* const curl = handle.get();
  if (curl == nullptr) {
    return false;
  }

  char errorBuffer[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(curl, CURLOPT_URL, narrowUrl.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &writeToStream);
  curl_easy_setopt(curl, CURLOPT_USERNAME, login.c_str());
  curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &context);
  curl_easy_setopt(curl, CURLOPT_FTP_USE_EPSV, 1L);
  // The service is multithreaded, so libcurl must not use signals (an alarm around a
  // blocking name lookup) to time anything out.
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  // Bounded, so that neither a silent server nor a slow one holds the pass and keeps the
  // server from starting; each of these ends the transfer with CURLE_OPERATION_TIMEDOUT.
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, options_.connectTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, options_.lowSpeedBytesPerSecond);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, options_.lowSpeedSeconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, remainingTimeMs());
  // Stoppable, so that a stop of the service during the check ends the transfer at once.
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &abortWhenCancelled);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, cancelEvent_);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  // An abort or a time-out during a name lookup would otherwise wait for the lookup
  // thread to finish, however long the resolver takes: the stop and the connect limit
  // hold in every phase only when libcurl leaves that thread behind.
  curl_easy_setopt(curl, CURLOPT_QUICK_EXIT, 1L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
  // Without a file, the Windows build (Schannel) verifies the server's certificate
  // against the machine's certificate store; the service runs as LocalSystem, which
  // trusts the Local Machine store's "Trusted Root Certification Authorities". An update
  // server with a private CA needs that CA there (certutil -addstore Root ca.cer). Wine's
  // Schannel checks no certificate, so under Wine any certificate passes.
  if (!options_.certificateAuthorityFile.empty()) {
    curl_easy_setopt(curl, CURLOPT_CAINFO, options_.certificateAuthorityFile.c_str());
  }

  CURLcode const code = curl_easy_perform(curl);
  lastTransfer_.curlCode = static_cast<int>(code);
  long responseCode = 0;
  if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &responseCode) == CURLE_OK) {
    lastTransfer_.responseCode = responseCode;
  }
  curl_off_t retryAfter = 0;
  if (curl_easy_getinfo(curl, CURLINFO_RETRY_AFTER, &retryAfter) == CURLE_OK && retryAfter > 0) {
    lastTransfer_.retryAfterSeconds = static_cast<long long>(retryAfter);
  }
  if (code != CURLE_OK) {
    // The buffer's text is the more specific; libcurl fills it for most failures.
    lastTransfer_.curlMessage.assign(errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code));
  }

  // A transfer cut short by the callback keeps none of its bytes: what arrived up to the
  // cut could otherwise pass for a complete manifest.
  if (context.refused) {
    sink.resize(sizeBefore);
  }

  if (code != CURLE_OK) {
    std::printf("curl told us %d\n", static_cast<int>(code));
    std::fflush(stdout);
    return false;
  }
  return true;
}

int UpdateServerClient::parseReleaseManifest(const std::string& body) {
  // The iterative parser keeps its nesting on the heap, so a deeply nested body cannot
  // exhaust the thread's stack; it accepts and rejects exactly what the default recursive
  // parser does. The document's pool allocator frees without recursion too.
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag>(body.c_str());
  if (document.HasParseError()) {
    return kManifestNotJson;
  }
  if (!document.IsObject()) {
    return kManifestIncomplete;
  }

  // Lookups find the first member of that exact name.
  if (!document.HasMember("Version") || !document.HasMember("Files")) {
    return kManifestIncomplete;
  }
  rapidjson::Value const& version = document["Version"];
  rapidjson::Value const& files = document["Files"];
  if (!version.IsString() || !files.IsArray()) {
    return kManifestIncomplete;
  }

  // Everything is checked before anything is kept, so a rejected manifest changes nothing.
  std::vector<std::u16string> fileNames;
  fileNames.reserve(files.Size());
  for (rapidjson::Value const& element : files.GetArray()) {
    if (!element.IsString()) {
      return kManifestIncomplete;
    }
    fileNames.push_back(widenBySignExtension({element.GetString(), element.GetStringLength()}));
  }
  configuration_.version = widenBySignExtension({version.GetString(), version.GetStringLength()});
  files_ = std::move(fileNames);
  return kManifestRead;
}

ReleaseManifest UpdateServerClient::manifest() const { return {configuration_.version, files_}; }

}  // namespace halcyra
