#include "service/pass_update_check.h"

#include "update/update_check.h"

namespace halcyra {

bool runPassUpdateCheck(UpdaterSettings& settings, platform::Handle cancelEvent) {
  try {
    checkForUpdate(settings, kPassConfigPath, kServerFileName, cancelEvent);
    return true;
  } catch (...) {
    settings.updateAvailable = false;
    return false;
  }
}

}  // namespace halcyra
