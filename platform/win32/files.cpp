#include "platform/files.h"

#include <locale.h>
#include <share.h>
#include <stdio.h>

#include <cstddef>

#include "platform/win32/windows_types.h"
// After <windows.h>, which they need.
#include <aclapi.h>
#include <sddl.h>

namespace halcyra::platform {

static_assert(kMaxPath == MAX_PATH);
static_assert(kGenericWrite == GENERIC_WRITE && kFileShareRead == FILE_SHARE_READ && kCreateAlways == CREATE_ALWAYS &&
              kCreateNew == CREATE_NEW && kFileFlagOpenReparsePoint == FILE_FLAG_OPEN_REPARSE_POINT);
static_assert(kFileAttributeReadOnly == FILE_ATTRIBUTE_READONLY &&
              kFileAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY &&
              kFileAttributeReparsePoint == FILE_ATTRIBUTE_REPARSE_POINT);
static_assert(kErrorFileExists == ERROR_FILE_EXISTS && kSddlRevision1 == SDDL_REVISION_1);
static_assert(kCpAcp == CP_ACP && kCpOemcp == CP_OEMCP && kCpUtf8 == CP_UTF8 &&
              kMbErrInvalidChars == MB_ERR_INVALID_CHARS);

Dword GetModuleFileNameW(Handle module, char16_t* buffer, Dword size) {
  return ::GetModuleFileNameW(static_cast<HMODULE>(module), win32::wide(buffer), size);
}

Bool SetCurrentDirectoryW(const char16_t* path) { return ::SetCurrentDirectoryW(win32::wide(path)); }

Dword GetTempPathW(Dword size, char16_t* buffer) { return ::GetTempPathW(size, win32::wide(buffer)); }

Handle CreateFileW(const char16_t* path, Dword desiredAccess, Dword shareMode, SecurityAttributes* attributes,
                   Dword creationDisposition, Dword flagsAndAttributes, Handle templateFile) {
  return ::CreateFileW(win32::wide(path), desiredAccess, shareMode, win32::native(attributes), creationDisposition,
                       flagsAndAttributes, templateFile);
}

Bool WriteFile(Handle file, const void* buffer, Dword size, Dword* written) {
  DWORD count = 0;
  Bool const result = ::WriteFile(file, buffer, size, &count, nullptr);
  if (written != nullptr) {
    *written = count;
  }
  return result;
}

static_assert(kFileAppendData == FILE_APPEND_DATA && kSynchronize == SYNCHRONIZE);

Bool ReadFile(Handle file, void* buffer, Dword size, Dword* read, std::uint64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD count = 0;
  Bool result = ::ReadFile(file, buffer, size, &count, &at);
  if (!result && ::GetLastError() == ERROR_HANDLE_EOF) {
    result = TRUE;  // at or after the end, as a read through the file pointer reports it
    count = 0;
  }
  if (read != nullptr) {
    *read = count;
  }
  return result;
}

Bool GetFileSizeEx(Handle file, std::int64_t* size) {
  LARGE_INTEGER value{};
  Bool const result = ::GetFileSizeEx(file, &value);
  if (size != nullptr) {
    *size = value.QuadPart;
  }
  return result;
}

Handle ReOpenFile(Handle original, Dword desiredAccess, Dword shareMode, Dword flags) {
  return ::ReOpenFile(original, desiredAccess, shareMode, flags);
}

Dword GetFullPathNameW(const char16_t* path, Dword size, char16_t* buffer, char16_t** filePart) {
  wchar_t* nativeFilePart = nullptr;
  Dword const length =
      ::GetFullPathNameW(win32::wide(path), size, win32::wide(buffer), filePart != nullptr ? &nativeFilePart : nullptr);
  if (filePart != nullptr) {
    *filePart = reinterpret_cast<char16_t*>(nativeFilePart);
  }
  return length;
}

static_assert(kGenericRead == GENERIC_READ && kDelete == DELETE && kReadControl == READ_CONTROL &&
              kFileReadAttributes == FILE_READ_ATTRIBUTES && kFileShareWrite == FILE_SHARE_WRITE &&
              kFileShareDelete == FILE_SHARE_DELETE && kOpenExisting == OPEN_EXISTING &&
              kFileFlagBackupSemantics == FILE_FLAG_BACKUP_SEMANTICS);
static_assert(kErrorNotSupported == ERROR_NOT_SUPPORTED && kErrorDirNotEmpty == ERROR_DIR_NOT_EMPTY);
// FileDispositionInfoEx and its flags are declared by the headers only for builds aimed at
// Windows 10 1809 and later; the values are fixed by the Windows API, and older systems
// answer ERROR_INVALID_PARAMETER.
static_assert(kFileRenameInfo == ::FileRenameInfo &&
              offsetof(FILE_RENAME_INFO, FileName) == kFileRenameInfoNameOffset &&
              offsetof(platform::FileRenameInfo, FileName) == kFileRenameInfoNameOffset &&
              offsetof(platform::FileRenameInfo, RootDirectory) == offsetof(FILE_RENAME_INFO, RootDirectory) &&
              offsetof(platform::FileRenameInfo, FileNameLength) == offsetof(FILE_RENAME_INFO, FileNameLength));
static_assert(kFileDispositionInfo == ::FileDispositionInfo && kFileEndOfFileInfo == ::FileEndOfFileInfo &&
              kFileDispositionInfoEx == 21);
static_assert(kFileDispositionFlagDelete == FILE_DISPOSITION_FLAG_DELETE &&
              kFileDispositionFlagPosixSemantics == FILE_DISPOSITION_FLAG_POSIX_SEMANTICS &&
              kFileDispositionFlagIgnoreReadonlyAttribute == 0x10);
static_assert(sizeof(platform::FileDispositionInfo) == sizeof(FILE_DISPOSITION_INFO) &&
              sizeof(platform::FileDispositionInfoEx) == sizeof(FILE_DISPOSITION_INFO_EX) &&
              sizeof(platform::FileEndOfFileInfo) == sizeof(FILE_END_OF_FILE_INFO));

Bool SetFileInformationByHandle(Handle file, int informationClass, void* information, Dword size) {
  return ::SetFileInformationByHandle(file, static_cast<FILE_INFO_BY_HANDLE_CLASS>(informationClass), information,
                                      size);
}

Bool GetFileInformationByHandle(Handle file, FileInformation* information) {
  BY_HANDLE_FILE_INFORMATION native{};
  if (!::GetFileInformationByHandle(file, &native)) {
    return kFalse;
  }
  information->attributes = native.dwFileAttributes;
  information->numberOfLinks = native.nNumberOfLinks;
  return kTrue;
}

Bool ConvertStringSecurityDescriptorToSecurityDescriptorW(const char16_t* sddl, Dword revision, void** descriptor,
                                                          Dword* size) {
  ULONG nativeSize = 0;
  BOOL const converted =
      ::ConvertStringSecurityDescriptorToSecurityDescriptorW(win32::wide(sddl), revision, descriptor, &nativeSize);
  if (converted && size != nullptr) {
    *size = nativeSize;
  }
  return converted;
}

void* LocalFree(void* memory) { return ::LocalFree(memory); }

unsigned fileNameCodePage() {
  // ___lc_codepage_func gives the code page of the C runtime's current locale.
  if (___lc_codepage_func() == CP_UTF8) {
    return CP_UTF8;
  }
  return ::AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}

int MultiByteToWideChar(unsigned codePage, Dword flags, const char* text, int length, char16_t* buffer, int size) {
  return ::MultiByteToWideChar(codePage, flags, text, length, win32::wide(buffer), size);
}

Bool GetFileAttributesExW(const char16_t* path, FileAttributeData* data) {
  WIN32_FILE_ATTRIBUTE_DATA native{};
  if (!::GetFileAttributesExW(win32::wide(path), GetFileExInfoStandard, &native)) {
    return kFalse;
  }
  data->fileAttributes = native.dwFileAttributes;
  return kTrue;
}

Handle FindFirstFileW(const char16_t* path, FindData* data) {
  WIN32_FIND_DATAW native{};
  HANDLE const search = ::FindFirstFileW(win32::wide(path), &native);
  if (search != INVALID_HANDLE_VALUE) {
    data->fileAttributes = native.dwFileAttributes;
    data->fileName = reinterpret_cast<const char16_t*>(native.cFileName);
  }
  return search;
}

Bool FindNextFileW(Handle search, FindData* data) {
  WIN32_FIND_DATAW native{};
  if (!::FindNextFileW(search, &native)) {
    return kFalse;
  }
  data->fileAttributes = native.dwFileAttributes;
  data->fileName = reinterpret_cast<const char16_t*>(native.cFileName);
  return kTrue;
}

Bool FindClose(Handle search) { return ::FindClose(search); }

void Sleep(Dword milliseconds) { ::Sleep(milliseconds); }

Dword GetTempPath2W(Dword size, char16_t* buffer) {
  using GetTempPath2 = DWORD(WINAPI*)(DWORD, LPWSTR);
  HMODULE const kernel32 = ::GetModuleHandleW(L"kernel32.dll");
  FARPROC const found = kernel32 != nullptr ? ::GetProcAddress(kernel32, "GetTempPath2W") : nullptr;
  if (found == nullptr) {
    ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
  }
  // The pointer's type is the one kernel32 declares for it.
  auto const getTempPath2 = reinterpret_cast<GetTempPath2>(reinterpret_cast<void (*)()>(found));
  return getTempPath2(size, win32::wide(buffer));
}

Bool ReadTextModeFile(const char16_t* path, std::string& content) {
  FILE* const file = ::_wfsopen(win32::wide(path), L"rt", _SH_DENYNO);
  if (file == nullptr) {
    return kFalse;
  }
  // fgetc delivers what the C runtime's text mode makes of the bytes: CR LF as LF, and
  // end of file at the first Ctrl-Z.
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
    content.push_back(static_cast<char>(c));
  }
  std::fclose(file);
  return kTrue;
}

}  // namespace halcyra::platform
