#include "service/log_file.h"

#include "platform/files.h"

namespace halcyra {

using platform::Dword;
using platform::Handle;

namespace {

// Each try loses only to someone who plants a new object under the name between the
// removal and the creation; a few tries tell a lost race from a name that stays blocked.
constexpr int kCreationTries = 5;

// Protected DACL: full access for SYSTEM and the Administrators, nobody else, and nothing
// inherited from the folder, which lets every user in.
constexpr char16_t kOwnersOnlySddl[] = u"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

// A file created with CREATE_NEW is new, so this only confirms it: a plain file (no
// folder, no reparse point) known under this one name.
bool isPlainFileWithOneName(Handle file) {
  platform::FileInformation information{};
  if (!platform::GetFileInformationByHandle(file, &information)) {
    return false;
  }
  constexpr Dword kNotPlain = platform::kFileAttributeDirectory | platform::kFileAttributeReparsePoint;
  if ((information.attributes & kNotPlain) != 0 || information.numberOfLinks != 1) {
    platform::SetLastError(platform::kErrorFileExists);
    return false;
  }
  return true;
}

// One try: remove whatever has the name, then create the file where nothing may exist.
//
// Why this is safe in a folder where everyone can create files: the removal takes away
// the name only (a link goes itself, never its target), so nothing of anyone else's is
// truncated or written. Between the removal and the creation, another user may plant a
// new file or link under the name; CREATE_NEW never opens an existing object, so that
// race makes the creation fail with ERROR_FILE_EXISTS instead of following the planted
// link, and FILE_FLAG_OPEN_REPARSE_POINT keeps even a link created in that instant from
// being followed. The file gets its own owners-only DACL at creation, so no other user
// can ever open it, read the children's output, or add a name to it afterwards.
Handle tryCreateFresh(const char16_t* path, platform::SecurityAttributes& attributes) {
  if (!platform::DeleteWithoutFollowingLinks(path) && platform::GetLastError() != platform::kErrorFileNotFound) {
    return platform::kInvalidHandle;
  }
  Handle const file = platform::CreateFileW(path, platform::kGenericWrite, platform::kFileShareRead, &attributes,
                                            platform::kCreateNew, platform::kFileFlagOpenReparsePoint, nullptr);
  if (file == platform::kInvalidHandle) {
    return platform::kInvalidHandle;
  }
  if (!isPlainFileWithOneName(file)) {
    const Dword error = platform::GetLastError();
    platform::CloseHandle(file);
    platform::SetLastError(error);
    return platform::kInvalidHandle;
  }
  return file;
}

}  // namespace

Handle createPrivateLogFile(const char16_t* path) {
  void* descriptor = nullptr;
  if (!platform::ConvertStringSecurityDescriptorToSecurityDescriptorW(kOwnersOnlySddl, platform::kSddlRevision1,
                                                                      &descriptor, nullptr)) {
    return platform::kInvalidHandle;
  }
  // Inheritable, so that children can write to it.
  platform::SecurityAttributes attributes{};
  attributes.nLength = sizeof(platform::SecurityAttributes);
  attributes.lpSecurityDescriptor = descriptor;
  attributes.bInheritHandle = platform::kTrue;

  Handle file = platform::kInvalidHandle;
  for (int tries = 0; tries < kCreationTries && file == platform::kInvalidHandle; ++tries) {
    file = tryCreateFresh(path, attributes);
  }
  // The start failure reports the last try's error, not the freeing's.
  const Dword error = platform::GetLastError();
  platform::LocalFree(descriptor);
  platform::SetLastError(error);
  return file;
}

}  // namespace halcyra
