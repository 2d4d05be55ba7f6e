#include <cstdio>

#include "diagnostic/update_check_command.h"
#include "platform/security.h"

int main(int argc, char** argv) {
  // As the service does, first: DLLs loaded by name come from System32 only.
  // Should that fail, the checks' own DLLs still come from System32 (they are loaded on
  // their first use, from there only); the administrator is told.
  if (halcyra::platform::SetDefaultDllDirectories(halcyra::platform::kLoadLibrarySearchSystem32) ==
      halcyra::platform::kFalse) {
    std::fprintf(stderr, "warning: DLLs loaded by name are not limited to System32 (error %u)\n",
                 static_cast<unsigned>(halcyra::platform::GetLastError()));
  }
  return halcyra::runUpdateCheckCommand(argc, argv, stdout, stderr);
}
