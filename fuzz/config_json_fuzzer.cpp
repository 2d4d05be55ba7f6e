// The configuration's JSON form: any bytes, read as UTF-16 text. An accepted text must
// survive the round trip through toJson: the written text is accepted again, gives the
// same record, and writing that record gives the same text.

#include <cstddef>
#include <cstdint>

#include "config/updater_settings.h"
#include "fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halcyra;
  UpdaterConfig config;
  if (!config.fromJson(fuzz::utf16FromBytes(data, size))) {
    return 0;
  }
  std::u16string const written = config.toJson();
  UpdaterConfig reread;
  fuzz::require(reread.fromJson(written), "the written configuration is accepted");
  fuzz::require(reread == config, "the written configuration reads back as the same record");
  fuzz::require(reread.toJson() == written, "writing the re-read record gives the same text");
  return 0;
}
