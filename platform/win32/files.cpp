#include "platform/files.h"

#include <locale.h>
#include <share.h>
#include <stdio.h>

#include "platform/win32/windows_types.h"
// After <windows.h>, which it needs.
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

Dword GetFullPathNameW(const char16_t* path, Dword size, char16_t* buffer, char16_t** filePart) {
  wchar_t* nativeFilePart = nullptr;
  Dword const length =
      ::GetFullPathNameW(win32::wide(path), size, win32::wide(buffer), filePart != nullptr ? &nativeFilePart : nullptr);
  if (filePart != nullptr) {
    *filePart = reinterpret_cast<char16_t*>(nativeFilePart);
  }
  return length;
}

// Declared by the headers only for builds aimed at Windows 10 1809 and later; the values
// are fixed by the Windows API, and older systems answer ERROR_INVALID_PARAMETER.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDispositionIgnoreReadOnly = 0x10;  // FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE

Bool DeleteWithoutFollowingLinks(const char16_t* path) {
  // FILE_FLAG_OPEN_REPARSE_POINT opens a symbolic link or junction itself rather than its
  // target; FILE_FLAG_BACKUP_SEMANTICS lets the same call open a junction or folder.
  HANDLE const object =
      ::CreateFileW(win32::wide(path), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (object == INVALID_HANDLE_VALUE) {
    return kFalse;
  }
  // POSIX semantics take the name away when the handle closes even if others keep the
  // file open; the read-only attribute is ignored rather than cleared, since clearing it
  // would change a file that other names may share.
  FILE_DISPOSITION_INFO_EX dispositionEx{};
  dispositionEx.Flags =
      FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS | kDispositionIgnoreReadOnly;
  BOOL deleted = ::SetFileInformationByHandle(object, kFileDispositionInfoEx, &dispositionEx, sizeof dispositionEx);
  if (!deleted && (::GetLastError() == ERROR_INVALID_PARAMETER || ::GetLastError() == ERROR_NOT_SUPPORTED)) {
    // Before Windows 10 1809, or on a file system without the extended form: the plain
    // deletion, which a read-only attribute refuses.
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    deleted = ::SetFileInformationByHandle(object, FileDispositionInfo, &disposition, sizeof disposition);
  }
  DWORD const error = ::GetLastError();
  ::CloseHandle(object);
  ::SetLastError(error);
  return deleted ? kTrue : kFalse;
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

Bool GetFileAttributesFollowingLinks(const char16_t* path, Dword* attributes) {
  DWORD found = 0;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (::GetFileAttributesExW(win32::wide(path), GetFileExInfoStandard, &data)) {
    found = data.dwFileAttributes;
  } else {
    // A file held open without sharing (the paging file, for one) refuses the attribute
    // query; its folder entry still answers.
    if (::GetLastError() != ERROR_SHARING_VIOLATION) {
      return kFalse;
    }
    WIN32_FIND_DATAW findData{};
    HANDLE const search = ::FindFirstFileW(win32::wide(path), &findData);
    if (search == INVALID_HANDLE_VALUE) {
      return kFalse;
    }
    ::FindClose(search);
    found = findData.dwFileAttributes;
  }

  if ((found & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // A link: the attributes of what it points to count, and a dangling link fails here
    // with the error of its missing target.
    HANDLE const target =
        ::CreateFileW(win32::wide(path), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (target == INVALID_HANDLE_VALUE) {
      return kFalse;
    }
    FILE_BASIC_INFO basic{};
    BOOL const answered = ::GetFileInformationByHandleEx(target, FileBasicInfo, &basic, sizeof basic);
    DWORD const error = ::GetLastError();
    ::CloseHandle(target);
    if (!answered) {
      ::SetLastError(error);
      return kFalse;
    }
    found = basic.FileAttributes;
  }
  *attributes = found;
  return kTrue;
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
