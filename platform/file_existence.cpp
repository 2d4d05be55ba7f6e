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

ExistenceResult testExistence(const char16_t* path) {
  Dword attributes = 0;
  if (GetFileAttributesFollowingLinks(path, &attributes) != kFalse) {
    return {Existence::present, 0};
  }
  Dword const error = GetLastError();
  return {meansNothingThere(error) ? Existence::absent : Existence::unknown, error};
}

}  // namespace halcyra::platform
