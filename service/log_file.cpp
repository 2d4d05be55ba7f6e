#include "service/log_file.h"

#include <algorithm>
#include <string_view>

#include "platform/accounts.h"
#include "platform/file_removal.h"
#include "platform/processes.h"
#include "platform/security.h"

namespace halcyra {

using platform::Dword;
using platform::Handle;
using platform::kInvalidHandle;

namespace {

// Each try loses only to someone who plants a new object under the name between the
// removal and the creation, or to a holder that refuses the removal; a few tries a short
// pause apart tell a lost race, a previous instance still exiting or a virus scan from a
// name that stays blocked.
constexpr int kTries = 5;
constexpr Dword kPauseBetweenTriesMs = 200;

// Protected DACL: full access for SYSTEM and the Administrators, nobody else, and nothing
// inherited from the folder, which lets every user in.
constexpr char16_t kOwnersOnlySddl[] = u"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

constexpr char16_t kNullDevice[] = u"NUL";

// The children's append-only handle and the service's own opening share the file with
// each other, and with readers; the owners-only DACL keeps everyone else out.
constexpr Dword kLogShare = platform::kFileShareRead | platform::kFileShareWrite;
// A generation is written by the service alone, which renames it while it writes.
constexpr Dword kGenerationShare = platform::kFileShareRead | platform::kFileShareDelete;

// A plain file (no folder, no reparse point) known under this one name.
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

// Whether the open file belongs to an account the installation trusts: SYSTEM, the
// Administrators, TrustedInstaller or the service's own account. Another user cannot give
// a file any of these owners.
bool isOwnedByTheService(Handle file) {
  void* owner = nullptr;
  void* descriptor = nullptr;
  if (platform::GetSecurityInfo(file, platform::kSeFileObject, platform::kOwnerSecurityInformation, &owner, nullptr,
                                nullptr, nullptr, &descriptor) != platform::kErrorSuccess) {
    return false;
  }
  const bool owned = platform::isTrustedAccount(platform::sidAt(owner), platform::processAccount());
  platform::LocalFree(descriptor);
  return owned;
}

Handle closeAndFail(Handle file) {
  const Dword error = platform::GetLastError();
  platform::CloseHandle(file);
  platform::SetLastError(error);
  return kInvalidHandle;
}

// Removes whatever has the name, then creates the file where nothing may exist.
//
// Why this is safe in a folder where everyone can create files: the removal takes away
// the name only (a link goes itself, never its target), so nothing of anyone else's is
// truncated or written. Between the removal and the creation, another user may plant a
// new file or link under the name; CREATE_NEW never opens an existing object, so that
// race makes the creation fail with ERROR_FILE_EXISTS, and FILE_FLAG_OPEN_REPARSE_POINT
// keeps a symbolic link planted in that instant from being followed to create its target.
// The file gets its own owners-only DACL at creation, so no other user can ever open it,
// read the children's output, or add a name to it afterwards.
Handle createFresh(const char16_t* path, Dword access, Dword share, platform::SecurityAttributes& attributes) {
  if (!platform::deleteWithoutFollowingLinks(path) && platform::GetLastError() != platform::kErrorFileNotFound) {
    return kInvalidHandle;
  }
  const Handle file = platform::CreateFileW(path, access, share, &attributes, platform::kCreateNew,
                                            platform::kFileFlagOpenReparsePoint, nullptr);
  if (file == kInvalidHandle) {
    return kInvalidHandle;
  }
  return isPlainFileWithOneName(file) ? file : closeAndFail(file);
}

// The service's own file under `path`: opened by its own name, never through a link, and
// kept only once it proves a plain file with one name that belongs to the service. Nobody
// else can have made such a file, and its owners-only DACL lets nobody add a name to it;
// anything else under the name stays as it is.
Handle openOwn(const char16_t* path, Dword access, Dword share, platform::SecurityAttributes* attributes) {
  const Handle file =
      platform::CreateFileW(path, access | platform::kReadControl | platform::kFileReadAttributes, share, attributes,
                            platform::kOpenExisting, platform::kFileFlagOpenReparsePoint, nullptr);
  if (file == kInvalidHandle) {
    return kInvalidHandle;
  }
  if (!isPlainFileWithOneName(file) || !isOwnedByTheService(file)) {
    return closeAndFail(file);
  }
  return file;
}

// The service's opening for reading and emptying, beside the children's append-only one.
Handle openControl(Handle log) {
  return platform::ReOpenFile(log, platform::kGenericRead | platform::kGenericWrite, kLogShare, 0);
}

// The service's own log of an earlier start, which a reader (a log viewer sharing reading
// and writing but not deletion) keeps from being removed: emptied where it is.
Handle reuseOwn(const char16_t* path, platform::SecurityAttributes& attributes, Handle& control) {
  const Handle file = openOwn(path, kLogAppendAccess, kLogShare, &attributes);
  if (file == kInvalidHandle) {
    return kInvalidHandle;
  }
  control = openControl(file);
  platform::FileEndOfFileInfo empty{};
  if (control == kInvalidHandle ||
      !platform::SetFileInformationByHandle(control, platform::kFileEndOfFileInfo, &empty, sizeof empty)) {
    const Dword error = platform::GetLastError();
    if (control != kInvalidHandle) {
      platform::CloseHandle(control);
      control = kInvalidHandle;
    }
    platform::SetLastError(error);
    return closeAndFail(file);
  }
  return file;
}

// One try; a failure leaves the error of the fresh creation. `control` receives the
// service's own opening when one could be had.
Handle tryOnce(const char16_t* path, platform::SecurityAttributes& attributes, Handle& control) {
  const Handle file = createFresh(path, kLogAppendAccess, kLogShare, attributes);
  const Dword error = platform::GetLastError();
  if (file != kInvalidHandle) {
    control = openControl(file);
    platform::SetLastError(platform::kErrorSuccess);
    return file;
  }
  if (error != platform::kErrorSharingViolation) {
    return file;
  }
  const Handle reused = reuseOwn(path, attributes, control);
  if (reused == kInvalidHandle) {
    platform::SetLastError(error);
  }
  return reused;
}

bool sameFolderText(std::u16string_view a, std::u16string_view b) {
  const auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [&](char16_t x, char16_t y) { return upper(x) == upper(y); });
}

// The log under the same name in the folder GetTempPath2W gives SYSTEM, which no other
// user can write to; for any other account that is the folder that just failed, and it is
// not tried again. NUL otherwise: the output is lost, but nobody can steer where it goes.
Handle openFallback(const char16_t* path, platform::SecurityAttributes& attributes,
                    char16_t (&where)[platform::kMaxPath], Handle& control) {
  const std::u16string_view primary(path);
  const std::size_t nameStart = primary.find_last_of(u'\\') + 1;
  const std::u16string_view name = primary.substr(nameStart);
  const Dword length = platform::GetTempPath2W(platform::kMaxPath, where);
  if (length > 0 && length + name.size() < platform::kMaxPath &&
      !sameFolderText(std::u16string_view(where, length), primary.substr(0, nameStart))) {
    std::copy(name.begin(), name.end(), where + length);
    where[length + name.size()] = u'\0';
    const Handle file = tryOnce(where, attributes, control);
    if (file != kInvalidHandle) {
      return file;
    }
  }
  std::copy(std::begin(kNullDevice), std::end(kNullDevice), where);
  return platform::CreateFileW(kNullDevice, platform::kGenericWrite,
                               platform::kFileShareRead | platform::kFileShareWrite, &attributes,
                               platform::kOpenExisting, 0, nullptr);
}

// The owners-only DACL as a security descriptor, for LocalFree; null with an error.
void* ownersOnlyDescriptor() {
  void* descriptor = nullptr;
  if (!platform::ConvertStringSecurityDescriptorToSecurityDescriptorW(kOwnersOnlySddl, platform::kSddlRevision1,
                                                                      &descriptor, nullptr)) {
    return nullptr;
  }
  return descriptor;
}

}  // namespace

Handle createLogGeneration(const char16_t* path) {
  void* const descriptor = ownersOnlyDescriptor();
  if (descriptor == nullptr) {
    return kInvalidHandle;
  }
  platform::SecurityAttributes attributes{};
  attributes.nLength = sizeof(platform::SecurityAttributes);
  attributes.lpSecurityDescriptor = descriptor;
  attributes.bInheritHandle = platform::kFalse;
  const Handle file =
      createFresh(path, platform::kGenericWrite | platform::kFileReadAttributes, kGenerationShare, attributes);
  const Dword error = platform::GetLastError();
  platform::LocalFree(descriptor);
  platform::SetLastError(error);
  return file;
}

Handle openOwnLogGeneration(const char16_t* path) {
  // Shares writing with the service's own handle of the generation it is filling.
  return openOwn(path, platform::kDelete, kGenerationShare | platform::kFileShareWrite, nullptr);
}

ServiceLog openServiceLog(const char16_t* path) {
  ServiceLog log;
  void* const descriptor = ownersOnlyDescriptor();
  if (descriptor == nullptr) {
    return log;
  }
  // Inheritable, so that children can write to it.
  platform::SecurityAttributes attributes{};
  attributes.nLength = sizeof(platform::SecurityAttributes);
  attributes.lpSecurityDescriptor = descriptor;
  attributes.bInheritHandle = platform::kTrue;

  Dword error = 0;
  for (int tries = 0; tries < kTries && log.handle == kInvalidHandle; ++tries) {
    if (tries > 0) {
      platform::Sleep(kPauseBetweenTriesMs);
    }
    log.handle = tryOnce(path, attributes, log.control);
    error = platform::GetLastError();
  }
  if (log.handle == kInvalidHandle) {
    log.failure = error;
    log.handle = openFallback(path, attributes, log.fallback, log.control);
  }
  platform::LocalFree(descriptor);
  // A start that fails anyway reports why the log could not be had, not the freeing's.
  platform::SetLastError(log.handle == kInvalidHandle ? error : platform::kErrorSuccess);
  return log;
}

}  // namespace halcyra
