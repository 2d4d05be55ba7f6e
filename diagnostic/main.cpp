#include <cstdio>

#include "diagnostic/update_check_command.h"
#include "platform/security.h"

int main(int argc, char** argv) {
  // As the service does, first: DLLs loaded by name come from System32 only.
  static_cast<void>(halcyra::platform::SetDefaultDllDirectories(halcyra::platform::kLoadLibrarySearchSystem32));
  return halcyra::runUpdateCheckCommand(argc, argv, stdout, stderr);
}
