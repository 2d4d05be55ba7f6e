// Cost of reading and writing a realistic updater configuration, and of parsing the
// version texts that every update check compares.

#include <benchmark/benchmark.h>

#include <string>

#include "config/updater_settings.h"
#include "version/version_number.h"

namespace halcyra {
namespace {

// A configuration as an installation ships it: a few dozen files, Windows paths with
// escaped backslashes, one non-ASCII folder name, and all optional keys present.
std::u16string realisticConfigText() {
  std::u16string files;
  for (int i = 0; i < 40; ++i) {
    std::string const name = "bin\\\\module" + std::to_string(i) + ".dll";
    files += (i == 0 ? u"\"" : u",\"") + std::u16string(name.begin(), name.end()) + u"\"";
  }
  return uR"({"pid":4321,"files":[)" + files +
         uR"(],"server":"https://updates.example.com/halcyra/","appFolder":"C:\\Program Files\\Halcyra\\",)"
         uR"("relativeAppPath":"bin\\HalcyraServer.exe","login":"updater","password":"s3cr\"t","version":"2.4.1.7",)"
         uR"("versionFile":"manifest.json","tempFolder":"C:\\Users\\Ren\u00e9\\AppData\\Local\\Temp\\",)"
         uR"("useGUI":1,"autoUpdate":true,"serverOneVersion":false,"useLatest":true,"enableUpdate":true,)"
         uR"("updaterPath":"resources\\updater\\HalcyraUpdater.exe"})";
}

void fromJsonRealistic(benchmark::State& state) {
  std::u16string const text = realisticConfigText();
  for (auto _ : state) {
    UpdaterConfig config;
    bool const accepted = config.fromJson(text);
    benchmark::DoNotOptimize(accepted);
    benchmark::DoNotOptimize(config);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size() * sizeof(char16_t)));
}
BENCHMARK(fromJsonRealistic);

void toJsonRealistic(benchmark::State& state) {
  UpdaterConfig config;
  if (!config.fromJson(realisticConfigText())) {
    state.SkipWithError("the sample configuration was rejected");
    return;
  }
  for (auto _ : state) {
    std::u16string text = config.toJson();
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(toJsonRealistic);

void parseVersion(benchmark::State& state) {
  std::u16string const text = u"10.0.19045.3803";
  for (auto _ : state) {
    VersionNumber version;
    bool const parsed = parseVersionNumber(text, version);
    benchmark::DoNotOptimize(parsed);
    benchmark::DoNotOptimize(version);
  }
}
BENCHMARK(parseVersion);

}  // namespace
}  // namespace halcyra
