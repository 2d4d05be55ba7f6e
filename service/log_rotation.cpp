#include "service/log_rotation.h"

#include <algorithm>
#include <string_view>

#include "platform/clock.h"
#include "platform/file_removal.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "service/service_events.h"

namespace halcyra {

using platform::Dword;
using platform::Handle;
using platform::kInvalidHandle;

namespace {

// A new child may print a burst at once, so its log is looked at soon after its start;
// the wait then doubles while the log stays as it is, up to a minute.
constexpr Dword kFirstWaitMs = 1000;
constexpr Dword kLongestWaitMs = 60000;
constexpr Dword kCopyBlock = 64 * 1024;
constexpr std::uint64_t kToTheEnd = ~std::uint64_t{0};

struct Rotation {
  Handle control = kInvalidHandle;
  char16_t path[platform::kMaxPath] = {};
  std::uint64_t size = kDefaultLogRotationSize;
  std::uint32_t generations = kDefaultLogGenerations;
  // At the last check: the live log's size after it, and when it was.
  std::uint64_t lastSize = 0;
  std::uint64_t lastTick = 0;
  Dword lastWait = kFirstWaitMs;
  bool blockReported = false;
};

Rotation rotation;

// The first time a rotation is skipped until one succeeds again.
void reportBlocked(const char16_t* generation, Dword error) {
  if (!rotation.blockReported) {
    rotation.blockReported = true;
    reportLogRotationBlocked(rotation.path, generation, error);
  }
}

// Removes whatever has the name `path`, never following it; true when the name is free.
bool freeName(const char16_t* path) {
  return platform::deleteWithoutFollowingLinks(path) || platform::GetLastError() == platform::kErrorFileNotFound;
}

// Moves every generation up by one, removing the oldest, so that the name of the first is
// free. Only files of the service's own are moved (by the handle that proved them ours,
// never by a name that might have changed since); whatever else has a generation's name
// only loses that name. False, reported, when a name cannot be had.
bool shiftGenerations() {
  char16_t from[platform::kMaxPath];
  char16_t to[platform::kMaxPath];
  for (std::uint32_t number = rotation.generations; number >= 1; --number) {
    if (!logGenerationPath(rotation.path, number, from)) {
      reportBlocked(rotation.path, platform::kErrorFilenameExceedsRange);
      return false;
    }
    if (number == rotation.generations) {
      if (!freeName(from)) {
        reportBlocked(from, platform::GetLastError());
        return false;
      }
      continue;
    }
    const Handle own = openOwnLogGeneration(from);
    if (own == kInvalidHandle) {
      const Dword error = platform::GetLastError();
      if (error == platform::kErrorFileNotFound) {
        continue;
      }
      if (error != platform::kErrorFileExists || !freeName(from)) {
        reportBlocked(from, platform::GetLastError());
        return false;
      }
      continue;
    }
    logGenerationPath(rotation.path, number + 1, to);
    platform::FileRenameInfo rename{};
    const std::u16string_view target(to);
    target.copy(rename.FileName, target.size());
    rename.FileNameLength = static_cast<Dword>(target.size() * sizeof(char16_t));
    const bool renamed = platform::SetFileInformationByHandle(
        own, platform::kFileRenameInfo, &rename,
        static_cast<Dword>(platform::kFileRenameInfoNameOffset + rename.FileNameLength + sizeof(char16_t)));
    const Dword error = platform::GetLastError();
    platform::CloseHandle(own);
    if (!renamed) {
      reportBlocked(to, error);
      return false;
    }
  }
  return true;
}

// A new first generation, after the others moved up; kInvalidHandle, reported, otherwise.
Handle newGeneration() {
  char16_t first[platform::kMaxPath];
  if (!shiftGenerations() || !logGenerationPath(rotation.path, 1, first)) {
    return kInvalidHandle;
  }
  const Handle file = createLogGeneration(first);
  if (file == kInvalidHandle) {
    reportBlocked(first, platform::GetLastError());
  }
  return file;
}

// Copies the live log from `offset` up to `end` (or its end) into `generation`; `offset`
// ends where the copy stopped.
bool copyLive(Handle generation, std::uint64_t& offset, std::uint64_t end) {
  static unsigned char block[kCopyBlock];
  while (offset < end) {
    Dword read = 0;
    const Dword wanted = static_cast<Dword>(std::min<std::uint64_t>(kCopyBlock, end - offset));
    if (!platform::ReadFile(rotation.control, block, wanted, &read, offset)) {
      return false;
    }
    if (read == 0) {
      return true;
    }
    Dword written = 0;
    if (!platform::WriteFile(generation, block, read, &written)) {
      return false;
    }
    offset += read;
  }
  return true;
}

// Rotates the live log of `size` bytes: blocks of the configured size go to one generation
// each, the newest last, so that no generation holds more than the size but the last,
// which also takes what the children write during the copy; what would not fit in
// the generations kept (the oldest output of a burst) is not copied. The live log is then
// emptied. A generation that cannot be had keeps the rest of the output in the one before;
// when there is none, the live log stays as it is. Lines written between the last read and
// the emptying are lost.
bool rotate(std::uint64_t size) {
  const std::uint64_t blocks = (size + rotation.size - 1) / rotation.size;
  std::uint64_t block = blocks > rotation.generations ? blocks - rotation.generations : 0;
  std::uint64_t offset = block * rotation.size;
  Handle current = kInvalidHandle;
  for (; block < blocks; ++block) {
    const Handle next = newGeneration();
    if (next == kInvalidHandle) {
      break;
    }
    if (current != kInvalidHandle) {
      platform::CloseHandle(current);
    }
    current = next;
    if (block + 1 < blocks && !copyLive(current, offset, (block + 1) * rotation.size)) {
      break;
    }
  }
  if (current == kInvalidHandle) {
    return false;
  }
  // Up to the end as it is when the copy has caught up with the children.
  std::int64_t now = 0;
  bool copied = false;
  while ((copied = copyLive(current, offset, kToTheEnd)) && platform::GetFileSizeEx(rotation.control, &now) &&
         static_cast<std::uint64_t>(now) > offset) {
  }
  platform::FileEndOfFileInfo empty{};
  const bool emptied = copied && platform::SetFileInformationByHandle(rotation.control, platform::kFileEndOfFileInfo,
                                                                      &empty, sizeof empty);
  platform::CloseHandle(current);
  if (emptied) {
    rotation.blockReported = false;
  }
  return emptied;
}

}  // namespace

bool logGenerationPath(const char16_t* livePath, std::uint32_t number, char16_t (&path)[platform::kMaxPath]) {
  const std::u16string_view live(livePath);
  const std::size_t folderEnd = live.find_last_of(u'\\');
  std::size_t dot = live.find_last_of(u'.');
  if (dot == std::u16string_view::npos || (folderEnd != std::u16string_view::npos && dot < folderEnd)) {
    dot = live.size();
  }
  if (number < 1 || number > kMaxLogGenerations || live.size() + 2 >= platform::kMaxPath) {
    return false;
  }
  live.copy(path, dot);
  path[dot] = u'.';
  path[dot + 1] = static_cast<char16_t>(u'0' + number);
  live.substr(dot).copy(path + dot + 2, live.size() - dot);
  path[live.size() + 2] = u'\0';
  return true;
}

void startLogRotation(const ServiceLog& log, const char16_t* primaryPath) {
  rotation = Rotation{};
  const std::u16string_view where(log.fallback[0] != u'\0' ? log.fallback : primaryPath);
  if (log.control == kInvalidHandle || where.size() >= platform::kMaxPath) {
    return;
  }
  rotation.control = log.control;
  where.copy(rotation.path, where.size());
}

void setLogRotation(std::uint64_t size, std::uint32_t generations) {
  rotation.size = size;
  rotation.generations = std::clamp<std::uint32_t>(generations, 1, kMaxLogGenerations);
}

Dword checkLogRotation(bool passStart) {
  if (rotation.control == kInvalidHandle || rotation.size == 0) {
    return platform::kInfinite;
  }
  std::int64_t size = 0;
  const std::uint64_t now = platform::GetTickCount64();
  if (!platform::GetFileSizeEx(rotation.control, &size)) {
    return kLongestWaitMs;
  }
  auto live = static_cast<std::uint64_t>(size);
  const std::uint64_t grown = live > rotation.lastSize ? live - rotation.lastSize : 0;
  // Rotated a little before the size, or already when growing as much again as since the
  // last check would take it past the size (a crash loop's every start adds its page): what
  // the children add until the next check then still fits in one generation, and the live
  // log stays under the size.
  const std::uint64_t due = rotation.size - rotation.size / 16;
  if ((live >= due || live + grown > rotation.size) && rotate(live)) {
    live = platform::GetFileSizeEx(rotation.control, &size) ? static_cast<std::uint64_t>(size) : 0;
  }
  Dword wait = std::min(rotation.lastWait * 2, kLongestWaitMs);
  if (passStart) {
    wait = kFirstWaitMs;
  } else if (grown > 0) {
    // Half the time the log would take to reach the size at the pace it grew since the
    // last check, so that it is rotated close to the size even by a chatty server.
    const std::uint64_t left = live < due ? due - live : 0;
    const std::uint64_t elapsed = std::max<std::uint64_t>(now - rotation.lastTick, 1);
    wait = static_cast<Dword>(std::clamp<std::uint64_t>(left * elapsed / grown / 2, kFirstWaitMs, kLongestWaitMs));
  }
  rotation.lastSize = live;
  rotation.lastTick = now;
  rotation.lastWait = wait;
  return wait;
}

}  // namespace halcyra
