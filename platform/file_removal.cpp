#include "platform/file_removal.h"

#include "platform/files.h"

namespace halcyra::platform {

Bool deleteWithoutFollowingLinks(const char16_t* path) {
  // FILE_FLAG_OPEN_REPARSE_POINT opens a symbolic link or junction itself rather than its
  // target; FILE_FLAG_BACKUP_SEMANTICS lets the same call open a junction or folder. Every
  // sharing is granted, so only a holder that refuses deletion stands in the way.
  Handle const object = CreateFileW(path, kDelete, kFileShareRead | kFileShareWrite | kFileShareDelete, nullptr,
                                    kOpenExisting, kFileFlagOpenReparsePoint | kFileFlagBackupSemantics, nullptr);
  if (object == kInvalidHandle) {
    return kFalse;
  }
  // POSIX semantics take the name away when the handle closes even if others keep the
  // file open; the read-only attribute is ignored rather than cleared, since clearing it
  // would change a file that other names may share.
  FileDispositionInfoEx dispositionEx{};
  dispositionEx.Flags =
      kFileDispositionFlagDelete | kFileDispositionFlagPosixSemantics | kFileDispositionFlagIgnoreReadonlyAttribute;
  Bool deleted = SetFileInformationByHandle(object, kFileDispositionInfoEx, &dispositionEx, sizeof dispositionEx);
  if (!deleted && (GetLastError() == kErrorInvalidParameter || GetLastError() == kErrorNotSupported)) {
    // Before Windows 10 1809, or on a file system without the extended form: the plain
    // deletion, which a read-only attribute refuses.
    FileDispositionInfo disposition{};
    disposition.DeleteFile = 1;
    deleted = SetFileInformationByHandle(object, kFileDispositionInfo, &disposition, sizeof disposition);
  }
  Dword const error = GetLastError();
  CloseHandle(object);
  SetLastError(error);
  return deleted != kFalse ? kTrue : kFalse;
}

}  // namespace halcyra::platform
