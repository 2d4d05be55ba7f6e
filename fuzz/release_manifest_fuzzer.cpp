// The release manifest: any body the update server sends. The parse gives one of its
// three results; a rejected body leaves the configured version and no files; an
// accepted one yields only sign-extended bytes, so no unit lies in U+0080..U+FF7F.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_input.h"
#include "update/update_server_client.h"

namespace {

bool isSignExtendedByte(char16_t unit) { return unit < 0x80 || unit >= 0xFF80; }

bool allSignExtendedBytes(const std::u16string& text) {
  for (char16_t const unit : text) {
    if (unit == u'\0' || !isSignExtendedByte(unit)) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halcyra;
  UpdaterConfig configuration;
  configuration.version = u"0.9.0.0";
  UpdateServerClient client(configuration);
  std::string const body(reinterpret_cast<const char*>(data), size);

  int const result = client.parseReleaseManifest(body);
  ReleaseManifest const manifest = client.manifest();
  fuzz::require(result == kManifestRead || result == kManifestNotJson || result == kManifestIncomplete,
                "the parse gives one of its results");
  if (result != kManifestRead) {
    fuzz::require(manifest.version == configuration.version && manifest.files.empty(),
                  "a rejected manifest changes nothing");
    return 0;
  }
  fuzz::require(allSignExtendedBytes(manifest.version), "the version is made of sign-extended bytes");
  for (const std::u16string& file : manifest.files) {
    fuzz::require(allSignExtendedBytes(file), "a file name is made of sign-extended bytes");
  }
  return 0;
}
