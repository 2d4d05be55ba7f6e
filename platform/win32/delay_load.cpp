// crypt32, bcrypt and wintrust are delay-loaded (see CMakeLists.txt): they are needed
// only for an https transfer, a manifest's signature and an updater's signer, and loading
// them at start would cost every process about 1.4 MiB of memory under Wine (their
// GnuTLS side, user32 and gdi32 with FreeType) whether or not it ever checks anything.
//
// The loader's helper calls this hook before it loads one of them; the handle returned
// here is used instead of its own LoadLibrary, so that these DLLs, and the DLLs they
// import, come from System32 only, whatever folder the executable stands in and whether
// or not SetDefaultDllDirectories has run yet.

#include "platform/win32/windows_types.h"
// After <windows.h>, which it needs.
#include <delayimp.h>

namespace {

FARPROC WINAPI loadFromSystemFolder(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary) {
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(::LoadLibraryExA(info->szDll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
}

}  // namespace

// The name the helper looks for; the link pulls this file in with --undefined.
PfnDliHook __pfnDliNotifyHook2 = loadFromSystemFolder;
