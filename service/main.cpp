#include "platform/security.h"
#include "service/entry.h"

int main(int argc, char** argv) {
  // First of all: every DLL loaded by name from now on (by libcurl, Schannel, the version
  // and crypto libraries on their first use) comes from System32 only, never from bin\ or
  // the current directory. Nothing can be done without it, so a failure changes nothing.
  static_cast<void>(halcyra::platform::SetDefaultDllDirectories(halcyra::platform::kLoadLibrarySearchSystem32));
  return halcyra::runEntry(argc, argv);
}
