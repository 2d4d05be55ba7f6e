// Cost of the two pieces of the update check that are the service's own work rather than
// the network's: parsing a release manifest that lists a hundred files, and building the
// updater's command line (JSON, UTF-16LE, base64) from a full configuration.

#include <benchmark/benchmark.h>

#include <string>

#include "config/updater_settings.h"
#include "update/update_server_client.h"
#include "update/updater_launch.h"

namespace halcyra {
namespace {

std::string manifestWithHundredFiles() {
  std::string files;
  for (int i = 0; i < 100; ++i) {
    files += (i == 0 ? "\"" : ",\"") + std::string("bin/modules/module") + std::to_string(i) + ".dll\"";
  }
  return R"({"Version":"2.4.1.7","Files":[)" + files + "]}";
}

void parseManifestOfHundredFiles(benchmark::State& state) {
  std::string const body = manifestWithHundredFiles();
  UpdaterConfig const configuration;
  for (auto _ : state) {
    UpdateServerClient client(configuration);
    int const result = client.parseReleaseManifest(body);
    if (result != kManifestRead) {
      state.SkipWithError("the manifest was rejected");
      break;
    }
    benchmark::DoNotOptimize(client);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(body.size()));
}
BENCHMARK(parseManifestOfHundredFiles);

void updaterCommandLine(benchmark::State& state) {
  UpdaterConfig config;
  config.pid = 4321;
  config.server = u"https://updates.example.com/halcyra/";
  config.appFolder = u"C:\\Program Files\\Halcyra";
  config.relativeAppPath = u"bin\\HalcyraServer.exe";
  config.version = u"2.4.1.7";
  config.versionFile = u"manifest.json";
  config.tempFolder = u"C:\\Users\\Ren\u00e9\\AppData\\Local\\Temp\\";
  config.updaterPath = u"resources\\updater\\HalcyraUpdater.exe";
  for (int i = 0; i < 40; ++i) {
    std::string const name = "bin\\module" + std::to_string(i) + ".dll";
    config.files.emplace_back(name.begin(), name.end());
  }
  for (auto _ : state) {
    std::u16string line = buildUpdaterCommandLine(config);
    if (line.empty()) {
      state.SkipWithError("the encoder failed");
      break;
    }
    benchmark::DoNotOptimize(line);
  }
}
BENCHMARK(updaterCommandLine);

}  // namespace
}  // namespace halcyra
