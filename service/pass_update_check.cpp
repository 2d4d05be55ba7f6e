#include "service/pass_update_check.h"

#include "update/update_check.h"

namespace halcyra {

bool runPassUpdateCheck(UpdaterSettings& settings, platform::Handle cancelEvent, UpdateCheckDetail* detail) {
  try {
    checkForUpdate(settings, kPassConfigPath, kServerFileName, cancelEvent, detail);
    return true;
  } catch (...) {
    settings.updateAvailable = false;
    return false;
  }
}

}  // namespace halcyra
