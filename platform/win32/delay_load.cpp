// crypt32, bcrypt and wintrust are delay-loaded (see CMakeLists.txt): they are needed
// only for an https transfer, a manifest's signature and an updater's signer, and loading
// them at start would cost every process about 1.4 MiB of memory under Wine (their
// GnuTLS side, user32 and gdi32 with FreeType) whether or not it ever checks anything.
//
// The loader's helper calls the notification hook before it loads one of them; the handle
// returned here is used instead of its own LoadLibrary, so that these DLLs, and the DLLs
// they import, come from System32 only, whatever folder the executable stands in and
// whether or not SetDefaultDllDirectories has run yet.
//
// A DLL that cannot be loaded (missing, broken, disabled) or that lacks a function would
// make the helper raise an exception that nothing catches: the process would end. The
// failure hook gives the helper a stand-in for each function instead, one that fails the
// call the way that function reports a failure, never with its success value: so every
// signature check that needs the DLL is refused, and the process goes on.

#include <atomic>
#include <cstring>

#include "platform/security.h"
#include "platform/win32/windows_types.h"
// After <windows.h>, which they need.
#include <delayimp.h>
#include <wintrust.h>

namespace halcyra::platform {

namespace {

// The stand-ins take no parameters: in the x64 calling convention the caller passes the
// arguments and cleans up, so a function that ignores them can stand in for any other. They
// return FARPROC's INT_PTR, whose low half is what a caller of a LONG function reads.
static_assert(sizeof(void*) == 8, "the stand-ins below rely on the x64 calling convention");

// The first failure of the process. The name points into the executable's delay-import
// table, which lives as long as the process.
std::atomic<const char*> failedDll{nullptr};
std::atomic<DWORD> failedError{0};

void recordFailure(const char* dll, DWORD error) {
  const char* expected = nullptr;
  if (failedDll.compare_exchange_strong(expected, dll)) {
    failedError.store(error);
  }
}

// Every bcrypt function returns an NTSTATUS, which is not success here.
INT_PTR WINAPI bcryptUnavailable() { return static_cast<LONG>(0xC0000135); }  // STATUS_DLL_NOT_FOUND

// WinVerifyTrust's 0 would be a trusted signature.
INT_PTR WINAPI winVerifyTrustUnavailable() { return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND); }

// crypt32's functions and wintrust's other ones fail with FALSE or a null pointer (and
// CertGetNameStringA, with no name, 0), and tell why through the last error.
INT_PTR WINAPI unavailable() {
  ::SetLastError(ERROR_MOD_NOT_FOUND);
  return 0;
}

// The stand-in for `function` of `dll`; null for a DLL this table does not know, for which
// the helper's exception, and the end of the process, is safer than a guess.
FARPROC standIn(const char* dll, const DelayLoadProc& function) {
  if (::lstrcmpiA(dll, "bcrypt.dll") == 0) {
    return &bcryptUnavailable;
  }
  if (::lstrcmpiA(dll, "wintrust.dll") == 0 && function.fImportByName != FALSE &&
      std::strcmp(function.szProcName, "WinVerifyTrust") == 0) {
    return &winVerifyTrustUnavailable;
  }
  if (::lstrcmpiA(dll, "wintrust.dll") == 0 || ::lstrcmpiA(dll, "crypt32.dll") == 0) {
    return &unavailable;
  }
  return nullptr;
}

// Stands for a DLL that could not be loaded: the helper keeps it as that DLL's module and
// looks every function up in it. The executable exports nothing, so each lookup fails and
// reaches the failure hook, and no other folder is ever searched for the DLL.
FARPROC unloadedModule() { return reinterpret_cast<FARPROC>(::GetModuleHandleW(nullptr)); }

FARPROC WINAPI loadFromSystemFolder(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary) {
    return nullptr;
  }
  HMODULE const module = ::LoadLibraryExA(info->szDll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) {
    recordFailure(info->szDll, ::GetLastError());
    return unloadedModule();
  }
  return reinterpret_cast<FARPROC>(module);
}

FARPROC WINAPI failSafely(unsigned notification, PDelayLoadInfo info) {
  if (notification == dliFailLoadLib) {
    recordFailure(info->szDll, info->dwLastError);
    return unloadedModule();
  }
  if (notification == dliFailGetProc) {
    // A module of our own stands for a DLL whose failure is recorded already.
    recordFailure(info->szDll, ERROR_PROC_NOT_FOUND);
    return standIn(info->szDll, info->dlp);
  }
  return nullptr;
}

}  // namespace

LibraryFailure firstLibraryFailure() {
  const char* const dll = failedDll.load();
  return {dll, dll != nullptr ? failedError.load() : 0};
}

}  // namespace halcyra::platform

// The names the helper looks for; the link pulls this file in with --undefined.
PfnDliHook __pfnDliNotifyHook2 = halcyra::platform::loadFromSystemFolder;
PfnDliHook __pfnDliFailureHook2 = halcyra::platform::failSafely;
