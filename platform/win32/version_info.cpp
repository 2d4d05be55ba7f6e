#include "platform/version_info.h"

#include <cstring>

#include "platform/win32/windows_types.h"

namespace halcyra::platform {

static_assert(sizeof(VS_FIXEDFILEINFO) == sizeof(FixedFileInfo));
static_assert(offsetof(VS_FIXEDFILEINFO, dwSignature) == offsetof(FixedFileInfo, dwSignature));
static_assert(offsetof(VS_FIXEDFILEINFO, dwStrucVersion) == offsetof(FixedFileInfo, dwStrucVersion));
static_assert(offsetof(VS_FIXEDFILEINFO, dwFileVersionMS) == offsetof(FixedFileInfo, dwFileVersionMS));
static_assert(offsetof(VS_FIXEDFILEINFO, dwFileVersionLS) == offsetof(FixedFileInfo, dwFileVersionLS));
static_assert(offsetof(VS_FIXEDFILEINFO, dwProductVersionMS) == offsetof(FixedFileInfo, dwProductVersionMS));
static_assert(offsetof(VS_FIXEDFILEINFO, dwProductVersionLS) == offsetof(FixedFileInfo, dwProductVersionLS));
static_assert(offsetof(VS_FIXEDFILEINFO, dwFileFlagsMask) == offsetof(FixedFileInfo, dwFileFlagsMask));
static_assert(offsetof(VS_FIXEDFILEINFO, dwFileFlags) == offsetof(FixedFileInfo, dwFileFlags));
static_assert(offsetof(VS_FIXEDFILEINFO, dwFileOS) == offsetof(FixedFileInfo, dwFileOS));
static_assert(offsetof(VS_FIXEDFILEINFO, dwFileType) == offsetof(FixedFileInfo, dwFileType));
static_assert(offsetof(VS_FIXEDFILEINFO, dwFileSubtype) == offsetof(FixedFileInfo, dwFileSubtype));
static_assert(offsetof(VS_FIXEDFILEINFO, dwFileDateMS) == offsetof(FixedFileInfo, dwFileDateMS));
static_assert(offsetof(VS_FIXEDFILEINFO, dwFileDateLS) == offsetof(FixedFileInfo, dwFileDateLS));

namespace {

// Reading a version resource makes the system map the whole executable as a data file,
// twice (size, then block): about 1.4 ms under Wine, most of an update check against a
// near server. The block of the last file read is kept with the file's change time, which
// the file system sets to the time of every write, truncation, rename and change of times
// (a program can set it only by asking for it, through FILE_BASIC_INFO): so an updater that
// overwrites the file in place, same size, and puts the old creation and last-write times
// back is still seen. Its creation and last-write times are kept too. The next read finds
// the file changed and asks the system again.
struct FileStamp {
  LARGE_INTEGER created{};
  LARGE_INTEGER written{};
  LARGE_INTEGER changed{};
  bool operator==(const FileStamp& other) const {
    return created.QuadPart == other.created.QuadPart && written.QuadPart == other.written.QuadPart &&
           changed.QuadPart == other.changed.QuadPart;
  }
};

// The largest block kept; larger ones are read from the file every time.
constexpr DWORD kKeptBlockSize = 4096;

struct KeptVersionInfo {
  SRWLOCK lock = SRWLOCK_INIT;
  bool sized = false;   // the stamp and the size are those of a file read before
  bool filled = false;  // and the block too
  FileStamp stamp;
  DWORD size = 0;
  unsigned char block[kKeptBlockSize] = {};
};

KeptVersionInfo kept;

// The stamp of the file at `path` now, or nothing when it cannot be read; the caller's
// last error is kept either way. Opened for its attributes alone, sharing everything, so
// that no writer, rename or delete is held up.
bool stampOf(const char16_t* path, FileStamp& stamp) {
  DWORD const error = ::GetLastError();
  HANDLE const file =
      ::CreateFileW(win32::wide(path), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  FILE_BASIC_INFO basic{};
  bool read = false;
  if (file != INVALID_HANDLE_VALUE) {
    read = ::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) != FALSE;
    ::CloseHandle(file);
  }
  ::SetLastError(error);
  stamp = {basic.CreationTime, basic.LastWriteTime, basic.ChangeTime};
  return read;
}

}  // namespace

Dword GetFileVersionInfoSizeW(const char16_t* path, Dword* handle) {
  FileStamp stamp;
  bool const stamped = stampOf(path, stamp);
  if (stamped) {
    AcquireSRWLockShared(&kept.lock);
    bool const same = kept.sized && kept.stamp == stamp;
    DWORD const size = kept.size;
    ReleaseSRWLockShared(&kept.lock);
    if (same) {
      if (handle != nullptr) {
        *handle = 0;
      }
      return size;
    }
  }
  DWORD nativeHandle = 0;
  Dword const size = ::GetFileVersionInfoSizeW(win32::wide(path), &nativeHandle);
  if (handle != nullptr) {
    *handle = nativeHandle;
  }
  if (stamped && size != 0) {
    AcquireSRWLockExclusive(&kept.lock);
    kept.sized = true;
    kept.filled = false;
    kept.stamp = stamp;
    kept.size = size;
    ReleaseSRWLockExclusive(&kept.lock);
  }
  return size;
}

Bool GetFileVersionInfoW(const char16_t* path, Dword handle, Dword length, void* data) {
  FileStamp stamp;
  bool const stamped = length <= kKeptBlockSize && stampOf(path, stamp);
  if (stamped) {
    AcquireSRWLockShared(&kept.lock);
    bool const same = kept.filled && kept.stamp == stamp && kept.size == length;
    if (same) {
      std::memcpy(data, kept.block, length);
    }
    ReleaseSRWLockShared(&kept.lock);
    if (same) {
      return TRUE;
    }
  }
  Bool const result = ::GetFileVersionInfoW(win32::wide(path), handle, length, data);
  if (stamped && result != FALSE) {
    AcquireSRWLockExclusive(&kept.lock);
    // Only the block of the file whose size was kept: another file's read in between
    // leaves nothing to fill.
    if (kept.sized && kept.stamp == stamp && kept.size == length) {
      std::memcpy(kept.block, data, length);
      kept.filled = true;
    }
    ReleaseSRWLockExclusive(&kept.lock);
  }
  return result;
}

Bool VerQueryValueA(const void* block, const char* subBlock, void** buffer, unsigned* length) {
  return ::VerQueryValueA(block, subBlock, buffer, length);
}

}  // namespace halcyra::platform
