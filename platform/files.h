#pragma once
// Files and paths (kernel32 and the C runtime).

#include <string>

#include "platform/types.h"

namespace halcyra::platform {

inline constexpr Dword kMaxPath = 260;

inline constexpr Dword kGenericWrite = 0x40000000;
inline constexpr Dword kFileShareRead = 0x1;
inline constexpr Dword kCreateNew = 1;
inline constexpr Dword kCreateAlways = 2;
inline constexpr Dword kFileFlagOpenReparsePoint = 0x00200000;

inline constexpr Dword kFileAttributeReadOnly = 0x1;
inline constexpr Dword kFileAttributeDirectory = 0x10;
inline constexpr Dword kFileAttributeReparsePoint = 0x400;

inline constexpr Dword kErrorFileExists = 80;
inline constexpr Dword kSddlRevision1 = 1;

inline constexpr unsigned kCpAcp = 0;
inline constexpr unsigned kCpOemcp = 1;
inline constexpr unsigned kCpUtf8 = 65001;
inline constexpr Dword kMbErrInvalidChars = 0x8;

Dword GetModuleFileNameW(Handle module, char16_t* buffer, Dword size);
Bool SetCurrentDirectoryW(const char16_t* path);
Dword GetTempPathW(Dword size, char16_t* buffer);
Handle CreateFileW(const char16_t* path, Dword desiredAccess, Dword shareMode, SecurityAttributes* attributes,
                   Dword creationDisposition, Dword flagsAndAttributes, Handle templateFile);
// Appends `size` bytes at the file's end as a handle opened for writing (synchronous, no
// OVERLAPPED); FALSE with GetLastError() when they cannot all be written.
Bool WriteFile(Handle file, const void* buffer, Dword size, Dword* written);
Dword GetFullPathNameW(const char16_t* path, Dword size, char16_t* buffer, char16_t** filePart);

// Removes the name `path` from its folder and nothing else: a symbolic link or junction
// goes itself, never what it points to; a hard link's name goes while the file lives on
// under its other names; a read-only attribute does not stop it. The name is gone at
// once, even while another process still has the file open with FILE_SHARE_DELETE.
// FALSE with GetLastError() otherwise: ERROR_FILE_NOT_FOUND when nothing has the name,
// ERROR_SHARING_VIOLATION when someone holds it open without FILE_SHARE_DELETE.
Bool DeleteWithoutFollowingLinks(const char16_t* path);

// What GetFileInformationByHandle tells about an open file that matters here.
struct FileInformation {
  Dword attributes = 0;
  Dword numberOfLinks = 0;
};
Bool GetFileInformationByHandle(Handle file, FileInformation* information);

// advapi32 and kernel32: a security descriptor from its SDDL text, freed with LocalFree.
// `size` may be null.
Bool ConvertStringSecurityDescriptorToSecurityDescriptorW(const char16_t* sddl, Dword revision, void** descriptor,
                                                          Dword* size);
void* LocalFree(void* memory);

// The code page the C runtime uses for file names: CP_UTF8 when its current locale is
// UTF-8, else CP_ACP when AreFileApisANSI(), else CP_OEMCP.
unsigned fileNameCodePage();
int MultiByteToWideChar(unsigned codePage, Dword flags, const char* text, int length, char16_t* buffer, int size);

// Attributes of the object at `path` with links followed (GetFileAttributesExW, with
// FindFirstFileW on a sharing violation, and the link's target opened for a reparse
// point). FALSE with GetLastError() when the system gives no answer for the path.
Bool GetFileAttributesFollowingLinks(const char16_t* path, Dword* attributes);

// Opens `path` for reading in text mode with no sharing restriction (_SH_DENYNO) and
// appends its bytes to `content` as the C runtime delivers them: CR LF becomes LF and a
// byte 0x1A ends the content. FALSE when the file cannot be opened.
Bool ReadTextModeFile(const char16_t* path, std::string& content);

}  // namespace halcyra::platform
