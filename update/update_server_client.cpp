#include "update/update_server_client.h"

#include <curl/curl.h>
#include <rapidjson/document.h>

#include <cstdio>
#include <exception>
#include <utility>

#include "update/text_conversion.h"

namespace halcyra {

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

UpdateServerClient::UpdateServerClient(const UpdaterConfig& configuration) : configuration_(configuration) {}

std::string UpdateServerClient::fetchReleaseManifest() {
  std::string body;
  std::u16string const path = releaseManifestPath(configuration_.versionFile);
  // A failed transfer leaves its trace in the body (empty or partial), which the parse rejects.
  static_cast<void>(downloadToStream(path, body));
  return body;
}

bool UpdateServerClient::downloadToStream(std::u16string_view path, std::string& sink) {
  std::string const narrowUrl = narrowByTruncation(transferUrl(configuration_.server, path));

  std::size_t const sizeBefore = sink.size();
  WriteContext context;
  context.sink = &sink;

  CURL* const curl = curl_easy_init();
  if (curl == nullptr) {
    return false;
  }

  std::string const login = narrowByTruncation(configuration_.login);
  std::string const password = narrowByTruncation(configuration_.password);
  curl_easy_setopt(curl, CURLOPT_URL, narrowUrl.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &writeToStream);
  curl_easy_setopt(curl, CURLOPT_USERNAME, login.c_str());
  curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &context);
  curl_easy_setopt(curl, CURLOPT_FTP_USE_EPSV, 1L);

  CURLcode const code = curl_easy_perform(curl);
  curl_easy_cleanup(curl);

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
