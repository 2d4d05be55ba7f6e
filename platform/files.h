#pragma once
// Files and paths (kernel32 and the C runtime).

#include <cstdint>
#include <string>

#include "platform/types.h"

namespace halcyra::platform {

inline constexpr Dword kMaxPath = 260;

inline constexpr Dword kGenericRead = 0x80000000;
inline constexpr Dword kGenericWrite = 0x40000000;
inline constexpr Dword kDelete = 0x10000;
inline constexpr Dword kReadControl = 0x20000;
inline constexpr Dword kFileReadAttributes = 0x80;
// Writing without FILE_WRITE_DATA: every write goes to the end of the file, wherever it is.
inline constexpr Dword kFileAppendData = 0x4;
inline constexpr Dword kSynchronize = 0x100000;
inline constexpr Dword kFileShareRead = 0x1;
inline constexpr Dword kFileShareWrite = 0x2;
inline constexpr Dword kFileShareDelete = 0x4;
inline constexpr Dword kCreateNew = 1;
inline constexpr Dword kCreateAlways = 2;
inline constexpr Dword kOpenExisting = 3;
inline constexpr Dword kFileFlagOpenReparsePoint = 0x00200000;
inline constexpr Dword kFileFlagBackupSemantics = 0x02000000;

inline constexpr Dword kFileAttributeReadOnly = 0x1;
inline constexpr Dword kFileAttributeDirectory = 0x10;
inline constexpr Dword kFileAttributeReparsePoint = 0x400;

inline constexpr Dword kErrorNotSupported = 50;
inline constexpr Dword kErrorFileExists = 80;
inline constexpr Dword kErrorDirNotEmpty = 145;
inline constexpr Dword kErrorNoMoreFiles = 18;
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
// Reads up to `size` bytes from `offset` (an OVERLAPPED offset on a synchronous handle),
// whatever the handle's file pointer; TRUE with *read 0 at or after the end.
Bool ReadFile(Handle file, void* buffer, Dword size, Dword* read, std::uint64_t offset);
Bool GetFileSizeEx(Handle file, std::int64_t* size);
// A new opening of the file `original` names, with its own access and sharing: the same
// file, whatever has its name by now. Never inheritable.
Handle ReOpenFile(Handle original, Dword desiredAccess, Dword shareMode, Dword flags);
Dword GetFullPathNameW(const char16_t* path, Dword size, char16_t* buffer, char16_t** filePart);

// Sets one class of information of an open file (FILE_INFO_BY_HANDLE_CLASS values and
// the structures below, laid out as Windows lays them out).
inline constexpr int kFileRenameInfo = 3;
inline constexpr int kFileDispositionInfo = 4;
inline constexpr int kFileEndOfFileInfo = 6;
inline constexpr int kFileDispositionInfoEx = 21;  // Windows 10 1809 and later
struct FileDispositionInfo {
  unsigned char DeleteFile = 0;  // BOOLEAN
};
inline constexpr Dword kFileDispositionFlagDelete = 0x1;
inline constexpr Dword kFileDispositionFlagPosixSemantics = 0x2;
inline constexpr Dword kFileDispositionFlagIgnoreReadonlyAttribute = 0x10;
struct FileDispositionInfoEx {
  Dword Flags = 0;
};
// FILE_RENAME_INFO with room for a full path; the size passed is that of the name used:
// kFileRenameInfoNameOffset + FileNameLength + 2.
struct FileRenameInfo {
  Dword ReplaceIfExists = 0;  // the BOOLEAN, padded as the union with its Flags
  Handle RootDirectory = nullptr;
  Dword FileNameLength = 0;  // in bytes, without the terminator
  char16_t FileName[kMaxPath] = {};
};
inline constexpr Dword kFileRenameInfoNameOffset = 20;
struct FileEndOfFileInfo {
  std::int64_t EndOfFile = 0;
};
Bool SetFileInformationByHandle(Handle file, int informationClass, void* information, Dword size);

// What GetFileInformationByHandle tells about an open file that matters here.
struct FileInformation {
  Dword attributes = 0;
  Dword numberOfLinks = 0;
};
Bool GetFileInformationByHandle(Handle file, FileInformation* information);

// The attributes of the object at `path` itself (a link's own, not its target's), from
// GetFileAttributesExW and from FindFirstFileW's folder entry.
struct FileAttributeData {
  Dword fileAttributes = 0;
};
Bool GetFileAttributesExW(const char16_t* path, FileAttributeData* data);
// A search for "folder\*" lists the folder's entries, one per call ("." and ".." too);
// FindNextFileW fails with ERROR_NO_MORE_FILES after the last.
struct FindData {
  Dword fileAttributes = 0;
  std::u16string fileName;  // the entry's own name, without its folder
};
Handle FindFirstFileW(const char16_t* path, FindData* data);
Bool FindNextFileW(Handle search, FindData* data);
Bool FindClose(Handle search);

// Pauses the calling thread.
void Sleep(Dword milliseconds);

// GetTempPath2W where kernel32 has it (Windows 11, Windows Server 2022, and Windows 10 with
// later updates): for SYSTEM a folder only SYSTEM can use, for anyone else what
// GetTempPathW gives.
// 0 with ERROR_CALL_NOT_IMPLEMENTED on a system without it.
Dword GetTempPath2W(Dword size, char16_t* buffer);

// advapi32 and kernel32: a security descriptor from its SDDL text, freed with LocalFree.
// `size` may be null.
Bool ConvertStringSecurityDescriptorToSecurityDescriptorW(const char16_t* sddl, Dword revision, void** descriptor,
                                                          Dword* size);
void* LocalFree(void* memory);

// The code page the C runtime uses for file names: CP_UTF8 when its current locale is
// UTF-8, else CP_ACP when AreFileApisANSI(), else CP_OEMCP.
unsigned fileNameCodePage();
int MultiByteToWideChar(unsigned codePage, Dword flags, const char* text, int length, char16_t* buffer, int size);

// Opens `path` for reading in text mode with no sharing restriction (_SH_DENYNO) and
// appends its bytes to `content` as the C runtime delivers them: CR LF becomes LF and a
// byte 0x1A ends the content. FALSE when the file cannot be opened.
Bool ReadTextModeFile(const char16_t* path, std::string& content);

}  // namespace halcyra::platform
