// Files and paths of the simulated machine: the in-memory file system and the kernel32
// and C runtime operations over it.

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "platform/files.h"
#include "platform/sim/sim_machine.h"
#include "platform/text_mode.h"

namespace halcyra::sim::detail {

namespace {

inline constexpr Dword kAttributeDirectory = 0x10;
inline constexpr Dword kAttributeArchive = 0x20;
inline constexpr Dword kErrorInvalidSecurityDescr = 1338;
inline constexpr Dword kAttributeReadOnly = 0x1;
inline constexpr Dword kAttributeReparsePoint = 0x400;
inline constexpr Dword kOpenReparsePoint = 0x00200000;
inline constexpr Dword kBackupSemantics = 0x02000000;

inline constexpr Dword kOpenAlways = 4;
inline constexpr Dword kTruncateExisting = 5;

inline constexpr Dword kShareRead = 0x1;
inline constexpr Dword kShareWrite = 0x2;
inline constexpr Dword kShareDelete = 0x4;

// The null device: what is written to it is gone.
inline constexpr char16_t kNullDeviceKey[] = u"\\\\.\\NUL";

bool wantsRead(Dword access) { return (access & (0x80000000u | 0x10000000u | 0x1u)) != 0; }
bool wantsWrite(Dword access) { return (access & (0x40000000u | 0x10000000u | 0x2u | 0x4u)) != 0; }
bool wantsDelete(Dword access) { return (access & (0x10000u | 0x10000000u)) != 0; }

// Whether a new opening with `access` and `share` can coexist with every open handle of
// the file, both ways round.
bool sharingAllows(const std::u16string& key, Dword access, Dword share) {
  for (auto const& [id, open] : machine().files) {
    if (open.key != key) {
      continue;
    }
    bool const newBlocked = (wantsRead(access) && (open.shareMode & kShareRead) == 0) ||
                            (wantsWrite(access) && (open.shareMode & kShareWrite) == 0) ||
                            (wantsDelete(access) && (open.shareMode & kShareDelete) == 0);
    bool const oldBlocked = (wantsRead(open.access) && (share & kShareRead) == 0) ||
                            (wantsWrite(open.access) && (share & kShareWrite) == 0) ||
                            (wantsDelete(open.access) && (share & kShareDelete) == 0);
    if (newBlocked || oldBlocked) {
      return false;
    }
  }
  return true;
}

// The name an opening reaches: a followed symbolic link's or junction's target, else the
// name itself (a hard link's own name, which goes alone when deleted).
std::u16string nameKeyOf(const std::u16string& key, bool followReparse) {
  FsNode const* const node = findNode(key);
  if (node == nullptr || !node->link || *node->link == LinkKind::hard || !followReparse) {
    return key;
  }
  return node->linkTarget;
}

bool isNullDevice(std::u16string_view path) {
  auto const upper = [](std::u16string_view text) {
    std::u16string result(text);
    for (char16_t& c : result) {
      if (c >= u'a' && c <= u'z') {
        c = static_cast<char16_t>(c - u'a' + u'A');
      }
    }
    return result;
  };
  std::u16string const name = upper(path);
  return name == u"NUL" || name == kNullDeviceKey;
}

bool othersHold(const std::u16string& key) {
  return std::any_of(machine().files.begin(), machine().files.end(),
                     [&](auto const& entry) { return entry.second.key == key; });
}

// Takes the name `nameKey` of the file `fileKey` away: a file with other names lives on
// under the first of them, and whoever still has it open keeps its data.
void eraseName(const std::u16string& nameKey, const std::u16string& fileKey) {
  Machine& m = machine();
  auto const named = m.fs.find(nameKey);
  if (named == m.fs.end()) {
    return;
  }
  if (nameKey != fileKey) {
    m.fs.erase(named);  // a hard link's own name
    return;
  }
  std::u16string heir;
  for (auto& [otherKey, other] : m.fs) {
    if (other.link == sim::LinkKind::hard && other.linkTarget == nameKey) {
      if (heir.empty()) {
        heir = otherKey;
        std::u16string const heirPath = other.path;
        other = named->second;
        other.path = heirPath;
        other.deletePending = false;
      } else {
        other.linkTarget = heir;
      }
    }
  }
  for (auto& [id, open] : m.files) {
    if (open.key == nameKey) {
      open.key = heir.empty() ? nameKey + u"|deleted" : heir;
    }
  }
  m.fs.erase(nameKey);
}

// Copies `value` and its terminator when it fits in `size` units: returns its length;
// otherwise the units needed, terminator included.
Dword copyOut(std::u16string_view value, char16_t* buffer, Dword size) {
  auto const length = static_cast<Dword>(value.size());
  if (buffer == nullptr || size < length + 1) {
    return length + 1;
  }
  std::copy(value.begin(), value.end(), buffer);
  buffer[length] = u'\0';
  return length;
}

// The attributes of the object under `key` itself: a hard link's are its file's.
Dword ownAttributes(const std::u16string& key) {
  FsNode const* const node = findNode(fileKeyOf(key, false));
  if (node == nullptr) {
    return 0;
  }
  bool const reparse = node->link.has_value() && *node->link != LinkKind::hard;
  return (node->directory ? kAttributeDirectory : kAttributeArchive) | (node->readOnly ? kAttributeReadOnly : 0) |
         (reparse ? kAttributeReparsePoint : 0);
}

// The object at `path`, or the error by which the system says it cannot be reached.
Dword lookUpExisting(const char16_t* path, FsNode** node) {
  if (path == nullptr || *path == u'\0') {
    return platform::kErrorPathNotFound;
  }
  if (hasInvalidNameCharacters(path)) {
    return platform::kErrorInvalidName;
  }
  std::u16string const key = pathKey(path);
  if (std::optional<Dword> const error = pathErrorFor(key)) {
    return *error;
  }
  *node = findNode(key);
  return *node == nullptr ? missingPathError(key) : platform::kErrorSuccess;
}

// An existing file (not a folder) for reading, or the error that prevents it.
Dword openableForRead(const char16_t* path, FsNode** node) {
  if (Dword const error = lookUpExisting(path, node); error != platform::kErrorSuccess) {
    return error;
  }
  std::u16string const key = pathKey(path);
  if ((*node)->directory) {
    return platform::kErrorAccessDenied;
  }
  if (!sharingAllows(key, 0x80000000u, kShareRead | kShareWrite | kShareDelete)) {
    return platform::kErrorSharingViolation;
  }
  return platform::kErrorSuccess;
}

// Decodes strict UTF-8 (no overlong forms, surrogates or values above U+10FFFF); an
// invalid sequence gives U+FFFD, or fails when `strict`.
bool decodeUtf8(std::string_view bytes, bool strict, std::u16string& out) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    auto const lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length = 0;
    std::uint32_t value = 0;
    std::uint32_t minimum = 0;
    if (lead < 0x80) {
      length = 1;
      value = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      value = lead & 0x1Fu;
      minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      value = lead & 0x0Fu;
      minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      value = lead & 0x07u;
      minimum = 0x10000;
    }
    bool valid = length > 0 && i + length <= bytes.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      auto const next = static_cast<unsigned char>(bytes[i + k]);
      valid = (next & 0xC0) == 0x80;
      value = (value << 6) | (next & 0x3Fu);
    }
    valid = valid && value >= minimum && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF);
    if (!valid) {
      if (strict) {
        return false;
      }
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (value >= 0x10000) {
      value -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (value >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (value & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(value));
    }
    i += length;
  }
  return true;
}

// The name the open file was reached by becomes `info`'s: the folder entry moves, links
// included, and every opening of it follows.
Bool renameOpenFile(Dword handleAccess, OpenFileState& open, const platform::FileRenameInfo& info) {
  Machine& m = machine();
  auto fail = [](Dword error) {
    setLastError(error);
    return platform::kFalse;
  };
  if ((handleAccess & platform::kDelete) == 0) {
    return fail(platform::kErrorAccessDenied);
  }
  std::u16string const from = open.nameKey;
  std::u16string const target(info.FileName, info.FileNameLength / sizeof(char16_t));
  std::u16string const to = pathKey(target);
  FsNode* const parent = findNode(parentKey(to));
  if (findNode(from) == nullptr || parent == nullptr || !parent->directory) {
    return fail(platform::kErrorPathNotFound);
  }
  if (to == from) {
    return platform::kTrue;
  }
  if (findNode(to) != nullptr) {
    if ((info.ReplaceIfExists & 0xFF) == 0) {
      return fail(kErrorAlreadyExists);
    }
    if (othersHold(to) || findNode(to)->directory) {
      return fail(platform::kErrorAccessDenied);
    }
    eraseName(to, fileKeyOf(to, false));
  }
  FsNode moved = m.fs.at(from);
  moved.path = fullPath(target);
  m.fs.erase(from);
  m.fs[to] = std::move(moved);
  for (auto& [otherKey, other] : m.fs) {
    if (other.link == sim::LinkKind::hard && other.linkTarget == from) {
      other.linkTarget = to;
    }
  }
  for (auto& [id, other] : m.files) {
    if (other.key == from) {
      other.key = to;
      other.path = m.fs.at(to).path;
    }
    if (other.nameKey == from) {
      other.nameKey = to;
    }
  }
  return platform::kTrue;
}

}  // namespace

std::u16string fileKeyOf(const std::u16string& key, bool followReparse) {
  FsNode const* const node = findNode(key);
  if (node == nullptr || !node->link) {
    return key;
  }
  return *node->link == LinkKind::hard || followReparse ? node->linkTarget : key;
}

void fileHandleClosing(const OpenFileState& open) {
  if (open.deleteOnClose) {
    if (open.posixDelete || !othersHold(open.key)) {
      eraseName(open.nameKey, open.key);
    } else if (FsNode* const node = findNode(open.nameKey)) {
      node->deletePending = true;  // the name goes with the last handle
    }
    return;
  }
  FsNode const* const node = findNode(open.key);
  if (node != nullptr && node->deletePending && !othersHold(open.key)) {
    eraseName(open.key, open.key);
  }
}

}  // namespace halcyra::sim::detail

namespace halcyra::sim {

using namespace detail;

void setModulePath(const std::u16string& path) {
  Machine& m = machine();
  m.modulePath = path;
  m.processes.at(kServiceProcessId).image = path;
  if (findNode(pathKey(path)) == nullptr) {
    addFile(path, {});
  }
}

void setTempPath(std::u16string path) { machine().tempPath = std::move(path); }

std::u16string currentDirectory() { return machine().processes.at(kServiceProcessId).cwd; }

void setCurrentDirectory(const std::u16string& path) {
  ensureDirectory(path);
  std::u16string full = fullPath(path);
  if (full.size() > 3 && full.back() == u'\\') {
    full.pop_back();
  }
  machine().processes.at(kServiceProcessId).cwd = full;
}

void addFile(const std::u16string& path, std::string bytes) {
  std::u16string const key = pathKey(path);
  std::u16string const parent = parentKey(key);
  if (parent == key) {
    throw std::logic_error("sim: no file name in " + utf8(path));
  }
  ensureDirectory(fullPath(path).substr(0, parent.size()));
  FsNode& node = machine().fs[key];
  if (node.directory) {
    throw std::logic_error("sim: a folder stands where a file is added: " + utf8(path));
  }
  node.path = fullPath(path);
  node.content = std::move(bytes);
}

void addDirectory(const std::u16string& path) { ensureDirectory(path); }

void setPathError(const std::u16string& path, Dword error) { machine().pathErrors[pathKey(path)] = error; }

std::optional<std::string> fileContent(const std::u16string& path) {
  FsNode const* const node = findNode(fileKeyOf(pathKey(path), true));
  if (node == nullptr || node->directory) {
    return std::nullopt;
  }
  return node->content;
}

std::optional<OpenFileRecord> openFile(Handle handle) {
  HandleEntry const* const entry = lookupHandle(handle, Kind::file);
  if (entry == nullptr) {
    return std::nullopt;
  }
  OpenFileState const& open = machine().files.at(entry->object);
  return OpenFileRecord{open.path, open.access, open.shareMode, entry->inheritable};
}

void addLink(const std::u16string& path, const std::u16string& target, LinkKind kind) {
  if (kind == LinkKind::junction) {
    addDirectory(path);
  } else {
    addFile(path, {});
  }
  FsNode& node = machine().fs.at(pathKey(path));
  node.link = kind;
  node.linkTarget = pathKey(target);
}

void setReadOnly(const std::u16string& path) { machine().fs.at(pathKey(path)).readOnly = true; }

void holdOpen(const std::u16string& path, Dword shareMode, bool followLinks) {
  Machine& m = machine();
  std::u16string const key = fileKeyOf(pathKey(path), followLinks);
  m.files[m.nextObject++] =
      OpenFileState{key, m.fs.at(key).path, 0x80000000u, shareMode, nameKeyOf(pathKey(path), followLinks)};
}

void setTempPath2(std::optional<std::u16string> path) { machine().tempPath2 = std::move(path); }

void setDispositionExSupported(bool supported) { machine().dispositionEx = supported; }

bool nameExists(const std::u16string& path) { return findNode(pathKey(path)) != nullptr; }

}  // namespace halcyra::sim

namespace halcyra::platform {

using namespace sim::detail;

Dword GetModuleFileNameW(Handle module, char16_t* buffer, Dword size) {
  if (enterFails("GetModuleFileNameW", "module=" + handleText(module) + " size=" + std::to_string(size))) {
    return 0;
  }
  if (module != nullptr) {
    setLastError(kErrorModNotFound);
    return 0;
  }
  std::u16string const& path = currentProcess().image;
  if (path.size() < size) {
    std::copy(path.begin(), path.end(), buffer);
    buffer[path.size()] = u'\0';
    setLastError(kErrorSuccess);
    return static_cast<Dword>(path.size());
  }
  // Too short: Windows fills the buffer with a cut-off, terminated path.
  if (size > 0) {
    std::copy_n(path.begin(), size - 1, buffer);
    buffer[size - 1] = u'\0';
  }
  setLastError(kErrorInsufficientBuffer);
  return size;
}

Bool SetCurrentDirectoryW(const char16_t* path) {
  if (enterFails("SetCurrentDirectoryW", text(path))) {
    return kFalse;
  }
  if (path == nullptr || *path == u'\0') {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  FsNode* node = nullptr;
  if (Dword const error = lookUpExisting(path, &node); error != kErrorSuccess) {
    setLastError(error);
    return kFalse;
  }
  if (!node->directory) {
    setLastError(kErrorDirectory);
    return kFalse;
  }
  std::u16string full = fullPath(path);
  if (full.size() > 3 && full.back() == u'\\') {
    full.pop_back();
  }
  currentProcess().cwd = full;
  return kTrue;
}

Dword GetTempPathW(Dword size, char16_t* buffer) {
  if (enterFails("GetTempPathW", "size=" + std::to_string(size))) {
    return 0;
  }
  return copyOut(machine().tempPath, buffer, size);
}

Handle CreateFileW(const char16_t* path, Dword desiredAccess, Dword shareMode, SecurityAttributes* attributes,
                   Dword creationDisposition, Dword flagsAndAttributes, Handle templateFile) {
  bool const inheritable = attributes != nullptr && attributes->bInheritHandle != kFalse;
  std::string args = text(path) + " access=" + hex(desiredAccess) + " share=" + hex(shareMode) +
                     " inherit=" + (inheritable ? "1" : "0") + " disposition=" + std::to_string(creationDisposition) +
                     " flags=" + hex(flagsAndAttributes);
  if (attributes != nullptr) {
    args += " saLength=" + std::to_string(attributes->nLength);
  }
  if (enterFails("CreateFileW", std::move(args))) {
    return kInvalidHandle;
  }
  auto fail = [](Dword error) {
    setLastError(error);
    return kInvalidHandle;
  };
  if (path == nullptr || *path == u'\0') {
    return fail(kErrorPathNotFound);
  }
  if (hasInvalidNameCharacters(path)) {
    return fail(kErrorInvalidName);
  }
  if (creationDisposition < kCreateNew || creationDisposition > kTruncateExisting || templateFile != nullptr) {
    return fail(kErrorInvalidParameter);
  }
  std::u16string* sddl = nullptr;
  if (attributes != nullptr && attributes->lpSecurityDescriptor != nullptr) {
    sddl = static_cast<std::u16string*>(attributes->lpSecurityDescriptor);
    if (machine().securityDescriptors.count(sddl) == 0) {
      return fail(kErrorInvalidSecurityDescr);
    }
  }
  Machine& m = machine();
  if (isNullDevice(path)) {
    std::uint64_t const object = m.nextObject++;
    m.files[object] = OpenFileState{kNullDeviceKey, u"NUL", desiredAccess, shareMode, kNullDeviceKey};
    setLastError(kErrorSuccess);
    return addHandle(Kind::file, object, inheritable, desiredAccess);
  }
  std::u16string const named = pathKey(path);
  if (std::optional<Dword> const error = pathErrorFor(named)) {
    return fail(*error);
  }
  // Without FILE_FLAG_OPEN_REPARSE_POINT a symbolic link or junction is followed, whatever
  // the disposition: CREATE_NEW through a dangling link creates its target.
  bool const follow = (flagsAndAttributes & kOpenReparsePoint) == 0;
  std::u16string const key = fileKeyOf(named, follow);
  FsNode* node = findNode(key);
  bool const existed = node != nullptr;
  if (existed && creationDisposition == kCreateNew) {
    return fail(kErrorFileExists);
  }
  FsNode const* const namedNode = findNode(named);
  if ((existed && node->deletePending) || (namedNode != nullptr && namedNode->deletePending)) {
    return fail(kErrorAccessDenied);
  }
  if (existed && node->directory && (flagsAndAttributes & kBackupSemantics) == 0) {
    return fail(kErrorAccessDenied);
  }
  if (existed && node->readOnly && wantsWrite(desiredAccess)) {
    return fail(kErrorAccessDenied);
  }
  if (!existed) {
    FsNode const* const parent = findNode(parentKey(key));
    if (parent == nullptr || !parent->directory) {
      return fail(missingPathError(key));
    }
    if (creationDisposition == kOpenExisting || creationDisposition == kTruncateExisting) {
      return fail(kErrorFileNotFound);
    }
  }
  if (!sharingAllows(key, desiredAccess, shareMode)) {
    return fail(kErrorSharingViolation);
  }
  if (!existed) {
    node = &m.fs[key];
    node->path = key == named ? fullPath(path) : key;
    node->security = createdSecurity(findNode(parentKey(key))->security, sddl).value();
  }
  if (creationDisposition == kCreateAlways || creationDisposition == kTruncateExisting) {
    node->content.clear();
  }
  std::uint64_t const object = m.nextObject++;
  m.files[object] = OpenFileState{key, node->path, desiredAccess, shareMode, nameKeyOf(named, follow)};
  Handle const handle = addHandle(Kind::file, object, inheritable, desiredAccess);
  bool const reportsExisting = existed && (creationDisposition == kCreateAlways || creationDisposition == kOpenAlways);
  setLastError(reportsExisting ? kErrorAlreadyExists : kErrorSuccess);
  return handle;
}

namespace {

// The open file behind `file` for a read or a write: ERROR_INVALID_HANDLE for another kind
// of handle or no buffer, ERROR_ACCESS_DENIED when the handle was not opened for it.
OpenFileState const* openForTransfer(Handle file, bool hasBuffer, bool (*allowed)(Dword access)) {
  HandleEntry const* const entry = lookupHandle(file, Kind::file);
  if (entry == nullptr || !hasBuffer) {
    setLastError(kErrorInvalidHandle);
    return nullptr;
  }
  OpenFileState const& open = machine().files.at(entry->object);
  if (!allowed(open.access)) {
    setLastError(kErrorAccessDenied);
    return nullptr;
  }
  return &open;
}

}  // namespace

Bool WriteFile(Handle file, const void* buffer, Dword size, Dword* written) {
  if (written != nullptr) {
    *written = 0;
  }
  if (enterFails("WriteFile", handleText(file) + " size=" + std::to_string(size))) {
    return kFalse;
  }
  OpenFileState const* const open = openForTransfer(file, buffer != nullptr || size == 0, wantsWrite);
  if (open == nullptr) {
    return kFalse;
  }
  if (FsNode* const node = findNode(open->key)) {
    node->content.append(static_cast<const char*>(buffer), size);
  }
  if (written != nullptr) {
    *written = size;
  }
  return kTrue;
}

Bool ReadFile(Handle file, void* buffer, Dword size, Dword* read, std::uint64_t offset) {
  if (read != nullptr) {
    *read = 0;
  }
  if (enterFails("ReadFile",
                 handleText(file) + " size=" + std::to_string(size) + " offset=" + std::to_string(offset))) {
    return kFalse;
  }
  OpenFileState const* const open = openForTransfer(file, buffer != nullptr || size == 0, wantsRead);
  if (open == nullptr) {
    return kFalse;
  }
  FsNode const* const node = findNode(open->key);
  std::string const empty;
  std::string const& content = node != nullptr ? node->content : empty;
  if (offset < content.size()) {
    auto const count = static_cast<Dword>(std::min<std::uint64_t>(size, content.size() - offset));
    std::memcpy(buffer, content.data() + offset, count);
    if (read != nullptr) {
      *read = count;
    }
  }
  return kTrue;
}

Bool GetFileSizeEx(Handle file, std::int64_t* size) {
  if (enterFails("GetFileSizeEx", handleText(file))) {
    return kFalse;
  }
  HandleEntry const* const entry = lookupHandle(file, Kind::file);
  if (entry == nullptr || size == nullptr) {
    setLastError(kErrorInvalidHandle);
    return kFalse;
  }
  FsNode const* const node = findNode(machine().files.at(entry->object).key);
  *size = node != nullptr ? static_cast<std::int64_t>(node->content.size()) : 0;
  return kTrue;
}

Handle ReOpenFile(Handle original, Dword desiredAccess, Dword shareMode, Dword flags) {
  if (enterFails("ReOpenFile", handleText(original) + " access=" + hex(desiredAccess) + " share=" + hex(shareMode) +
                                   " flags=" + hex(flags))) {
    return kInvalidHandle;
  }
  HandleEntry const* const entry = lookupHandle(original, Kind::file);
  if (entry == nullptr) {
    setLastError(kErrorInvalidHandle);
    return kInvalidHandle;
  }
  Machine& m = machine();
  OpenFileState const open = m.files.at(entry->object);
  FsNode const* const node = findNode(open.key);
  if (node == nullptr || open.key == kNullDeviceKey) {
    setLastError(kErrorInvalidParameter);
    return kInvalidHandle;
  }
  if (!sharingAllows(open.key, desiredAccess, shareMode)) {
    setLastError(kErrorSharingViolation);
    return kInvalidHandle;
  }
  std::uint64_t const object = m.nextObject++;
  m.files[object] = OpenFileState{open.key, open.path, desiredAccess, shareMode, open.nameKey};
  setLastError(kErrorSuccess);
  return addHandle(Kind::file, object, false, desiredAccess);
}

Dword GetFullPathNameW(const char16_t* path, Dword size, char16_t* buffer, char16_t** filePart) {
  if (enterFails("GetFullPathNameW", text(path) + " size=" + std::to_string(size))) {
    return 0;
  }
  if (path == nullptr) {
    setLastError(kErrorInvalidParameter);
    return 0;
  }
  if (*path == u'\0') {
    setLastError(kErrorInvalidName);
    return 0;
  }
  std::u16string const full = fullPath(path);
  Dword const result = copyOut(full, buffer, size);
  if (result == full.size() && filePart != nullptr) {
    std::size_t const last = full.rfind(u'\\');
    bool const endsInSeparator = last == full.size() - 1;
    *filePart = endsInSeparator ? nullptr : buffer + (last == std::u16string::npos ? 0 : last + 1);
  }
  return result;
}

Bool SetFileInformationByHandle(Handle file, int informationClass, void* information, Dword size) {
  if (enterFails("SetFileInformationByHandle",
                 handleText(file) + " class=" + std::to_string(informationClass) + " size=" + std::to_string(size))) {
    return kFalse;
  }
  HandleEntry const* const entry = lookupHandle(file, Kind::file);
  if (entry == nullptr) {
    setLastError(kErrorInvalidHandle);
    return kFalse;
  }
  Machine& m = machine();
  OpenFileState& open = m.files.at(entry->object);
  FsNode* const node = findNode(open.key);
  if (informationClass == kFileEndOfFileInfo && size == sizeof(FileEndOfFileInfo) && information != nullptr) {
    if (!wantsWrite(open.access)) {
      setLastError(kErrorAccessDenied);
      return kFalse;
    }
    auto const end = static_cast<const FileEndOfFileInfo*>(information)->EndOfFile;
    if (end < 0) {
      setLastError(kErrorInvalidParameter);
      return kFalse;
    }
    if (node != nullptr) {
      node->content.resize(static_cast<std::size_t>(end));
    }
    return kTrue;
  }
  if (informationClass == kFileRenameInfo && information != nullptr && size >= kFileRenameInfoNameOffset) {
    return renameOpenFile(entry->access, open, *static_cast<const FileRenameInfo*>(information));
  }
  bool const extended = informationClass == kFileDispositionInfoEx && m.dispositionEx &&
                        size == sizeof(FileDispositionInfoEx) && information != nullptr;
  bool const plain =
      informationClass == kFileDispositionInfo && size == sizeof(FileDispositionInfo) && information != nullptr;
  if (!extended && !plain) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  Dword const flags = extended ? static_cast<const FileDispositionInfoEx*>(information)->Flags
                               : (static_cast<const FileDispositionInfo*>(information)->DeleteFile != 0 ? 1u : 0u);
  if ((entry->access & kDelete) == 0) {
    setLastError(kErrorAccessDenied);
    return kFalse;
  }
  if (node == nullptr) {
    setLastError(kErrorFileNotFound);  // deleted already
    return kFalse;
  }
  if ((flags & kFileDispositionFlagDelete) == 0) {
    open.deleteOnClose = false;
    return kTrue;
  }
  if (node->readOnly && (flags & kFileDispositionFlagIgnoreReadonlyAttribute) == 0) {
    setLastError(kErrorAccessDenied);
    return kFalse;
  }
  std::u16string const below = open.key + u"\\";
  auto const next = m.fs.lower_bound(below);
  if (node->directory && !node->link && next != m.fs.end() && next->first.starts_with(below)) {
    setLastError(kErrorDirNotEmpty);
    return kFalse;
  }
  open.deleteOnClose = true;
  open.posixDelete = (flags & kFileDispositionFlagPosixSemantics) != 0;
  return kTrue;
}

Bool GetFileInformationByHandle(Handle file, FileInformation* information) {
  if (enterFails("GetFileInformationByHandle", handleText(file))) {
    return kFalse;
  }
  HandleEntry const* const entry = lookupHandle(file, Kind::file);
  if (entry == nullptr || information == nullptr) {
    setLastError(kErrorInvalidHandle);
    return kFalse;
  }
  std::u16string const& key = machine().files.at(entry->object).key;
  FsNode const* const node = findNode(key);
  if (node == nullptr) {
    *information = {kAttributeArchive, 0};  // its last name is gone
    return kTrue;
  }
  information->attributes = (node->directory ? kAttributeDirectory : kAttributeArchive) |
                            (node->readOnly ? kAttributeReadOnly : 0) | (node->link ? kAttributeReparsePoint : 0);
  information->numberOfLinks = 1;
  for (auto const& [otherKey, other] : machine().fs) {
    if (other.link == sim::LinkKind::hard && other.linkTarget == key) {
      ++information->numberOfLinks;
    }
  }
  return kTrue;
}

Bool ConvertStringSecurityDescriptorToSecurityDescriptorW(const char16_t* sddl, Dword revision, void** descriptor,
                                                          Dword* size) {
  if (enterFails("ConvertStringSecurityDescriptorToSecurityDescriptorW",
                 text(sddl) + " revision=" + std::to_string(revision))) {
    return kFalse;
  }
  if (sddl == nullptr || descriptor == nullptr || revision != kSddlRevision1) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  auto* const copy = new std::u16string(sddl);
  if (!createdSecurity({}, copy)) {
    delete copy;
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  machine().securityDescriptors.insert(copy);
  *descriptor = copy;
  if (size != nullptr) {
    *size = static_cast<Dword>(copy->size());
  }
  return kTrue;
}

void* LocalFree(void* memory) {
  if (enterFails("LocalFree", {})) {
    return memory;
  }
  auto* const descriptor = static_cast<std::u16string*>(memory);
  if (memory != nullptr && machine().securityDescriptors.erase(descriptor) == 0) {
    setLastError(kErrorInvalidHandle);
    return memory;
  }
  delete descriptor;
  return nullptr;
}

unsigned fileNameCodePage() {
  enterFails("fileNameCodePage", {});
  return kCpUtf8;
}

int MultiByteToWideChar(unsigned codePage, Dword flags, const char* text, int length, char16_t* buffer, int size) {
  if (enterFails("MultiByteToWideChar", "codePage=" + std::to_string(codePage) + " flags=" + hex(flags) +
                                            " length=" + std::to_string(length) + " size=" + std::to_string(size))) {
    return 0;
  }
  if (text == nullptr || length == 0 || length < -1 || size < 0 || (size > 0 && buffer == nullptr)) {
    setLastError(kErrorInvalidParameter);
    return 0;
  }
  std::string_view const bytes(text, length == -1 ? std::strlen(text) + 1 : static_cast<std::size_t>(length));
  std::u16string wide;
  if (codePage == kCpUtf8) {
    if ((flags & ~kMbErrInvalidChars) != 0) {
      setLastError(kErrorInvalidFlags);
      return 0;
    }
    if (!decodeUtf8(bytes, (flags & kMbErrInvalidChars) != 0, wide)) {
      setLastError(kErrorNoUnicodeTranslation);
      return 0;
    }
  } else {
    // The 8-bit code pages are modelled as Latin-1: each byte is the unit of that value.
    wide = widenBytes(bytes);
  }
  auto const needed = static_cast<int>(wide.size());
  if (size == 0) {
    return needed;
  }
  if (size < needed) {
    setLastError(kErrorInsufficientBuffer);
    return 0;
  }
  std::copy(wide.begin(), wide.end(), buffer);
  return needed;
}

Bool GetFileAttributesExW(const char16_t* path, FileAttributeData* data) {
  if (enterFails("GetFileAttributesExW", text(path))) {
    return kFalse;
  }
  if (path == nullptr || data == nullptr) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  FsNode* node = nullptr;
  if (Dword const error = lookUpExisting(path, &node); error != kErrorSuccess) {
    setLastError(error);
    return kFalse;
  }
  data->fileAttributes = ownAttributes(pathKey(path));
  return kTrue;
}

namespace {

constexpr char16_t kSearch[] = u"|search";

// The entry of the folder `prefix` ("C:\\FOLDER\\") that follows the key `after`, if any.
// The simulated folders list no "." and "..".
FsNode const* nextEntry(const std::u16string& prefix, const std::u16string& after, std::u16string& key) {
  auto& fs = machine().fs;
  for (auto it = fs.upper_bound(after); it != fs.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
    if (it->first.find(u'\\', prefix.size()) == std::u16string::npos) {
      key = it->first;
      return &it->second;
    }
  }
  return nullptr;
}

void describeEntry(const std::u16string& key, const FsNode& node, FindData* data) {
  data->fileAttributes = ownAttributes(key);
  data->fileName = node.path.substr(node.path.rfind(u'\\') + 1);
}

}  // namespace

Handle FindFirstFileW(const char16_t* path, FindData* data) {
  if (enterFails("FindFirstFileW", text(path))) {
    return kInvalidHandle;
  }
  std::u16string const pattern = path == nullptr ? std::u16string() : std::u16string(path);
  bool const listing = pattern.size() > 2 && pattern.compare(pattern.size() - 2, 2, u"\\*") == 0;
  std::u16string const named = listing ? pattern.substr(0, pattern.size() - 2) : pattern;
  FsNode* node = nullptr;
  if (Dword const error = lookUpExisting(named.c_str(), &node); error != kErrorSuccess) {
    setLastError(error);
    return kInvalidHandle;
  }
  // A search holds no file open: a handle of its own kind that shares everything. A listing
  // keeps its folder and the key of the entry it gave last.
  std::u16string position = kSearch;
  std::u16string folder = node->path;
  if (listing) {
    if (!node->directory) {
      setLastError(kErrorDirectory);
      return kInvalidHandle;
    }
    folder = pathKey(named);
    folder += folder.back() == u'\\' ? u"" : u"\\";
    std::u16string key;
    FsNode const* const entry = nextEntry(folder, folder, key);
    if (entry == nullptr) {
      setLastError(kErrorFileNotFound);
      return kInvalidHandle;
    }
    describeEntry(key, *entry, data);
    position += u'|' + key;
  } else {
    data->fileAttributes = ownAttributes(pathKey(named));
  }
  Machine& m = machine();
  std::uint64_t const object = m.nextObject++;
  m.files[object] = OpenFileState{kSearch, folder, 0, 0x7, position};
  return addHandle(Kind::file, object, false, 0);
}

Bool FindNextFileW(Handle search, FindData* data) {
  if (enterFails("FindNextFileW", handleText(search))) {
    return kFalse;
  }
  HandleEntry const* const handle = lookupHandle(search, Kind::file);
  if (handle == nullptr || machine().files.at(handle->object).key != kSearch) {
    setLastError(kErrorInvalidHandle);
    return kFalse;
  }
  OpenFileState& state = machine().files.at(handle->object);
  std::u16string key;
  std::size_t const given = std::size(kSearch);  // the last entry's key follows "|search|"
  FsNode const* const entry =
      state.nameKey == kSearch ? nullptr : nextEntry(state.path, state.nameKey.substr(given), key);
  if (entry == nullptr) {
    setLastError(kErrorNoMoreFiles);
    return kFalse;
  }
  describeEntry(key, *entry, data);
  state.nameKey = kSearch + (u'|' + key);
  return kTrue;
}

Bool FindClose(Handle search) {
  if (enterFails("FindClose", handleText(search))) {
    return kFalse;
  }
  HandleEntry const* const entry = lookupHandle(search, Kind::file);
  if (entry == nullptr || machine().files.at(entry->object).key != kSearch) {
    setLastError(kErrorInvalidHandle);
    return kFalse;
  }
  closeHandleEntry(reinterpret_cast<std::uintptr_t>(search));
  return kTrue;
}

void Sleep(Dword milliseconds) {
  enterFails("Sleep", "ms=" + std::to_string(milliseconds));
  Machine& m = machine();
  std::uint64_t const deadline = m.clock + milliseconds;
  for (;;) {
    applyDueState();
    deliverDueControls();
    if (m.clock >= deadline) {
      return;
    }
    std::optional<std::uint64_t> const next = nextEventTime();
    m.clock = next && *next < deadline ? std::max(m.clock, *next) : deadline;
  }
}

Dword GetTempPath2W(Dword size, char16_t* buffer) {
  if (enterFails("GetTempPath2W", "size=" + std::to_string(size))) {
    return 0;
  }
  if (!machine().tempPath2) {
    setLastError(kErrorCallNotImplemented);
    return 0;
  }
  return copyOut(*machine().tempPath2, buffer, size);
}

Bool ReadTextModeFile(const char16_t* path, std::string& content) {
  if (enterFails("ReadTextModeFile", text(path))) {
    return kFalse;
  }
  FsNode* node = nullptr;
  if (Dword const error = openableForRead(path, &node); error != kErrorSuccess) {
    setLastError(error);
    return kFalse;
  }
  content += applyTextMode(node->content);
  return kTrue;
}

}  // namespace halcyra::platform
