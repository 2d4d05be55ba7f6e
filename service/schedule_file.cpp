#include "service/schedule_file.h"

#include <cstdint>

#include "config/config_file.h"
#include "platform/file_removal.h"
#include "platform/files.h"
#include "platform/module_path.h"
#include "version/version_number.h"

namespace halcyra {

namespace {

constexpr char16_t kScheduleFileName[] = u"HalcyraService.schedule";

// Appends " <value>" in decimal.
void appendWord(std::string& text, std::uint64_t value) {
  char digits[20];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  text += ' ';
  while (count > 0) {
    text += digits[--count];
  }
}

void appendVersion(std::string& text, const VersionNumber& v) {
  for (const std::uint16_t part : {v.major, v.minor, v.build, v.revision}) {
    appendWord(text, part);
  }
}

}  // namespace

std::optional<std::u16string> scheduleFilePath() {
  const std::optional<std::u16string> module = platform::modulePath();
  if (!module) {
    return std::nullopt;
  }
  std::u16string path = parentPath(*module);
  if (path.empty()) {
    return std::nullopt;
  }
  if (path.back() != u'\\' && path.back() != u'/') {
    path += u'\\';
  }
  path += kScheduleFileName;
  return path;
}

std::string scheduleText(const ScheduleSnapshot& snapshot) {
  const UpdateSchedule& s = snapshot.schedule;
  std::string text = kScheduleFormat;
  text += "\nprocess";
  appendWord(text, snapshot.processId);
  text += "\nwritten";
  appendWord(text, snapshot.written);
  if (s.announced) {
    text += "\nannounced";
    appendVersion(text, *s.announced);
    appendWord(text, s.announcedAt);
  }
  text += "\nfetches";
  appendWord(text, s.failedFetches);
  appendWord(text, s.fetchNotBefore);
  appendWord(text, static_cast<std::uint64_t>(s.pause));
  text += "\nquick-ends";
  appendWord(text, s.quickEnds);
  appendWord(text, s.quickEndRounds);
  appendWord(text, s.quickEndsNotBefore);
  if (s.stuck) {
    text += "\nstuck";
    appendVersion(text, s.stuck->announced);
    appendVersion(text, s.stuck->installed);
    appendWord(text, s.stuck->unchangedRuns);
    appendWord(text, s.stuck->setAsides);
    appendWord(text, s.stuck->setAsideUntil);
    appendWord(text, s.stuck->firstRunAt);
  }
  return text + "\n";
}

void writeScheduleFile(const ScheduleSnapshot& snapshot) {
  const std::optional<std::u16string> path = scheduleFilePath();
  if (!path) {
    return;
  }
  const std::string text = scheduleText(snapshot);
  const platform::Handle file = platform::CreateFileW(path->c_str(), platform::kGenericWrite, platform::kFileShareRead,
                                                      nullptr, platform::kCreateAlways, 0, nullptr);
  if (file == platform::kInvalidHandle) {
    return;
  }
  platform::Dword written = 0;
  static_cast<void>(platform::WriteFile(file, text.data(), static_cast<platform::Dword>(text.size()), &written));
  platform::CloseHandle(file);
}

void removeScheduleFile() {
  if (const std::optional<std::u16string> path = scheduleFilePath()) {
    static_cast<void>(platform::deleteWithoutFollowingLinks(path->c_str()));
  }
}

}  // namespace halcyra
