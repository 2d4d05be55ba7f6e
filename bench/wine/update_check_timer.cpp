// halcyra-update-check-timer: times the service's own update check as a supervisor pass
// runs it, in the current folder (the install root), under Wine.
//
//   halcyra-update-check-timer <count> [parts]
//
// One check first, unmeasured, as the service's first pass warms libcurl up; then count
// checks, each printed as "check_us N" (QueryPerformanceCounter). A check that ends with
// an error is reported and ends the program with exit code 1: it measured something else.
// With "parts", each check is followed by its parts one by one, each printed as
// "<part>_us N": reading the configuration, the updater's existence, the server's product
// version and the manifest's transfer.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/config_file.h"
#include "config/updater_settings.h"
#include "platform/file_existence.h"
#include "service/pass_update_check.h"
#include "update/update_server_client.h"
#include "version/version_number.h"

namespace {

bool checkOnce(long long& elapsedTicks) {
  halcyra::UpdaterSettings settings;
  LARGE_INTEGER before{}, after{};
  QueryPerformanceCounter(&before);
  bool const completed = halcyra::runPassUpdateCheck(settings);
  QueryPerformanceCounter(&after);
  elapsedTicks = after.QuadPart - before.QuadPart;
  if (!completed) {
    std::fprintf(stderr, "halcyra-update-check-timer: an error ended the check\n");
    return false;
  }
  if (settings.hasError) {
    std::fprintf(stderr, "halcyra-update-check-timer: the check failed: %s\n", settings.lastError.c_str());
    return false;
  }
  return true;
}

// Runs `part` and prints its time.
template <typename Part>
void timed(const char* name, Part&& part) {
  LARGE_INTEGER before{}, after{}, frequency{};
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&before);
  part();
  QueryPerformanceCounter(&after);
  std::printf("%s_us %lld\n", name, (after.QuadPart - before.QuadPart) * 1000000 / frequency.QuadPart);
}

void parts() {
  halcyra::UpdaterSettings settings;
  timed("config", [&] { halcyra::loadUpdaterConfig(settings, halcyra::kPassConfigPath, nullptr); });
  timed("existence", [&] { halcyra::platform::testExistence(settings.updaterPath.c_str()); });
  timed("version", [&] { halcyra::readProductVersion(halcyra::kServerFileName); });
  timed("transfer", [&] { halcyra::UpdateServerClient(settings).fetchReleaseManifest(); });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && !(argc == 3 && std::string(argv[2]) == "parts")) {
    std::fprintf(stderr, "usage: halcyra-update-check-timer <count> [parts]\n");
    return 2;
  }
  int const count = std::atoi(argv[1]);
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  long long ticks = 0;
  if (!checkOnce(ticks)) return 1;
  for (int i = 0; i < count; ++i) {
    if (!checkOnce(ticks)) return 1;
    std::printf("check_us %lld\n", ticks * 1000000 / frequency.QuadPart);
    if (argc == 3) parts();
  }
  return 0;
}
