// halcyra-update-check-timer: times the service's own update check as a supervisor pass
// runs it, in the current folder (the install root), under Wine.
//
//   halcyra-update-check-timer <count>
//
// One check first, unmeasured, as the service's first pass warms libcurl up; then count
// checks, each printed as "check_us N" (QueryPerformanceCounter). A check that ends with
// an error is reported and ends the program with exit code 1: it measured something else.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/updater_settings.h"
#include "service/pass_update_check.h"

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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: halcyra-update-check-timer <count>\n");
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
  }
  return 0;
}
