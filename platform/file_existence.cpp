#include "platform/file_existence.h"

#include "platform/files.h"

namespace halcyra::platform {

namespace {

// The errors by which the system says that nothing is at a path.
bool meansNothingThere(Dword error) {
  switch (error) {
    case kErrorFileNotFound:
    case kErrorPathNotFound:
    case kErrorBadNetpath:
    case kErrorInvalidName:
    case kErrorDirectory:
      return true;
    default:
      return false;
  }
}

}  // namespace

Bool getAttributesFollowingLinks(const char16_t* path, Dword* attributes) {
  Dword found = 0;
  FileAttributeData data{};
  if (GetFileAttributesExW(path, &data)) {
    found = data.fileAttributes;
  } else {
    // A file held open without sharing (the paging file, for one) refuses the attribute
    // query; its folder entry still answers.
    if (GetLastError() != kErrorSharingViolation) {
      return kFalse;
    }
    FindData findData{};
    Handle const search = FindFirstFileW(path, &findData);
    if (search == kInvalidHandle) {
      return kFalse;
    }
    FindClose(search);
    found = findData.fileAttributes;
  }

  if ((found & kFileAttributeReparsePoint) != 0) {
    // A link: the attributes of what it points to count.
    Handle const target = CreateFileW(path, kFileReadAttributes, kFileShareRead | kFileShareWrite | kFileShareDelete,
                                      nullptr, kOpenExisting, kFileFlagBackupSemantics, nullptr);
    if (target == kInvalidHandle) {
      return kFalse;
    }
    FileInformation information{};
    Bool const answered = GetFileInformationByHandle(target, &information);
    Dword const error = GetLastError();
    CloseHandle(target);
    if (!answered) {
      SetLastError(error);
      return kFalse;
    }
    found = information.attributes;
  }
  *attributes = found;
  return kTrue;
}

ExistenceResult testExistence(const char16_t* path) {
  Dword attributes = 0;
  if (getAttributesFollowingLinks(path, &attributes) != kFalse) {
    return {Existence::present, 0};
  }
  Dword const error = GetLastError();
  return {meansNothingThere(error) ? Existence::absent : Existence::unknown, error};
}

}  // namespace halcyra::platform
