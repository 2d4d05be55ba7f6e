// The configuration file from its bytes on disk to the record: the file is placed on the
// simulated machine and read as the update check reads it (text mode, then the JSON
// form). The outcome must be one of the two reported ones, and an accepted file must
// give a record that survives the round trip through toJson.

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/config_file.h"
#include "fuzz/fuzz_input.h"
#include "platform/sim/sim.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halcyra;
  sim::reset();
  sim::setModulePath(u"C:\\Halcyra\\bin\\HalcyraService.exe");
  sim::addFile(u"C:\\Halcyra\\resources\\updater\\config.json", std::string(reinterpret_cast<const char*>(data), size));

  UpdaterSettings settings;
  bool const loaded = loadUpdaterConfig(settings, "resources\\updater\\config.json");
  fuzz::require(loaded != settings.hasError, "the result and hasError agree");
  if (!loaded) {
    fuzz::require(settings.lastError == "Updater config has parse error", "a present file fails only its parse");
    return 0;
  }
  fuzz::require(settings.lastError.empty(), "an accepted file leaves no error text");
  UpdaterConfig const& config = settings;
  UpdaterConfig reread;
  fuzz::require(reread.fromJson(config.toJson()), "the written configuration is accepted");
  fuzz::require(reread == config, "the written configuration reads back as the same record");
  return 0;
}
