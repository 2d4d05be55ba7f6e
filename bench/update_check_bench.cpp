// Cost of one whole update check, the work that every supervisor pass repeats every
// 3 seconds when the server keeps ending: read and parse the configuration, read the
// server's product version, fetch the release manifest with libcurl (from a local
// file://, so the network's latency is left out) and decide.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "config/updater_settings.h"
#include "platform/sim/sim.h"
#include "service/pass_update_check.h"

namespace halcyra {
namespace {

void updateCheckPerPass(benchmark::State& state) {
  std::filesystem::path const manifestRoot = std::filesystem::temp_directory_path() / "halcyra_bench_manifest";
  std::filesystem::create_directories(manifestRoot / "latest");
  std::ofstream(manifestRoot / "latest" / "manifest.json") << R"({"Version":"1.3.0.0","Files":["HalcyraServer.exe"]})";

  sim::reset();
  sim::setCurrentDirectory(u"C:\\Halcyra");
  std::string const server = "file://" + manifestRoot.generic_string();
  sim::addFile(u"C:\\Halcyra\\resources\\updater\\config.json",
               R"({"server":")" + server +
                   R"(","relativeAppPath":"HalcyraServer.exe","login":"","password":"","versionFile":"manifest.json",)"
                   R"("useGUI":0,"enableUpdate":true,"autoUpdate":true,"updaterPath":"C:\\Halcyra\\updater.exe"})");
  sim::addFile(u"C:\\Halcyra\\updater.exe", "MZ");
  sim::addFile(u"C:\\Halcyra\\HalcyraServer.exe", "MZ");
  sim::setVersionInfo(u"C:\\Halcyra\\HalcyraServer.exe", 0x00010002, 0x00030004, 0x00010002, 0x00030004);

  for (auto _ : state) {
    UpdaterSettings settings;
    runPassUpdateCheck(settings);
    if (!settings.updateAvailable) {
      state.SkipWithError(settings.lastError.c_str());
      break;
    }
    benchmark::DoNotOptimize(settings);
  }
  std::filesystem::remove_all(manifestRoot);
}
BENCHMARK(updateCheckPerPass)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace halcyra
