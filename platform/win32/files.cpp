#include "platform/files.h"

#include <locale.h>
#include <share.h>
#include <stdio.h>

#include "platform/win32/windows_types.h"

namespace halcyra::platform {

static_assert(kMaxPath == MAX_PATH);
static_assert(kGenericWrite == GENERIC_WRITE && kFileShareRead == FILE_SHARE_READ && kCreateAlways == CREATE_ALWAYS);
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

Dword GetFullPathNameW(const char16_t* path, Dword size, char16_t* buffer, char16_t** filePart) {
  wchar_t* nativeFilePart = nullptr;
  Dword const length =
      ::GetFullPathNameW(win32::wide(path), size, win32::wide(buffer), filePart != nullptr ? &nativeFilePart : nullptr);
  if (filePart != nullptr) {
    *filePart = reinterpret_cast<char16_t*>(nativeFilePart);
  }
  return length;
}

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
