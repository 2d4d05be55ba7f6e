#include "service/schedule_file.h"

#include <sstream>

#include "config/config_file.h"
#include "platform/clock.h"
#include "platform/file_removal.h"
#include "platform/files.h"
#include "platform/module_path.h"
#include "version/version_number.h"

namespace halcyra {

namespace {

constexpr char16_t kScheduleFileName[] = u"HalcyraService.schedule";
constexpr char kFormat[] = "halcyra-schedule 1";

std::string versionWords(const VersionNumber& v) {
  return std::to_string(v.major) + " " + std::to_string(v.minor) + " " + std::to_string(v.build) + " " +
         std::to_string(v.revision);
}

bool readVersion(std::istream& in, VersionNumber& v) {
  return static_cast<bool>(in >> v.major >> v.minor >> v.build >> v.revision);
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
  return path + kScheduleFileName;
}

std::string scheduleText(const ScheduleSnapshot& snapshot) {
  const UpdateSchedule& s = snapshot.schedule;
  std::string text = std::string(kFormat) + "\n";
  text += "process " + std::to_string(snapshot.processId) + "\n";
  text += "written " + std::to_string(snapshot.written) + "\n";
  if (s.announced) {
    text += "announced " + versionWords(*s.announced) + " " + std::to_string(s.announcedAt) + "\n";
  }
  text += "fetches " + std::to_string(s.failedFetches) + " " + std::to_string(s.fetchNotBefore) + " " +
          std::to_string(static_cast<int>(s.pause)) + "\n";
  text += "quick-ends " + std::to_string(s.quickEnds) + " " + std::to_string(s.quickEndRounds) + " " +
          std::to_string(s.quickEndsNotBefore) + "\n";
  if (s.stuck) {
    text += "stuck " + versionWords(s.stuck->announced) + " " + versionWords(s.stuck->installed) + " " +
            std::to_string(s.stuck->unchangedRuns) + " " + std::to_string(s.stuck->setAsides) + " " +
            std::to_string(s.stuck->setAsideUntil) + " " + std::to_string(s.stuck->firstRunAt) + "\n";
  }
  return text;
}

std::optional<ScheduleSnapshot> parseScheduleText(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kFormat) {
    return std::nullopt;
  }
  ScheduleSnapshot snapshot;
  UpdateSchedule& s = snapshot.schedule;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string key;
    words >> key;
    bool read = true;
    if (key == "process") {
      read = static_cast<bool>(words >> snapshot.processId);
    } else if (key == "written") {
      read = static_cast<bool>(words >> snapshot.written);
    } else if (key == "announced") {
      VersionNumber v;
      read = readVersion(words, v) && static_cast<bool>(words >> s.announcedAt);
      s.announced = v;
    } else if (key == "fetches") {
      int pause = 0;
      read = static_cast<bool>(words >> s.failedFetches >> s.fetchNotBefore >> pause) && pause >= 0 && pause <= 2;
      s.pause = static_cast<FetchPause>(pause);
    } else if (key == "quick-ends") {
      read = static_cast<bool>(words >> s.quickEnds >> s.quickEndRounds >> s.quickEndsNotBefore);
    } else if (key == "stuck") {
      StuckUpdate stuck;
      read =
          readVersion(words, stuck.announced) && readVersion(words, stuck.installed) &&
          static_cast<bool>(words >> stuck.unchangedRuns >> stuck.setAsides >> stuck.setAsideUntil >> stuck.firstRunAt);
      s.stuck = stuck;
    }
    if (!read) {
      return std::nullopt;
    }
  }
  return snapshot;
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

std::optional<ScheduleSnapshot> readScheduleFile() {
  const std::optional<std::u16string> path = scheduleFilePath();
  std::string text;
  if (!path || platform::ReadTextModeFile(path->c_str(), text) == platform::kFalse) {
    return std::nullopt;
  }
  std::optional<ScheduleSnapshot> snapshot = parseScheduleText(text);
  if (!snapshot || snapshot->written > platform::GetTickCount64()) {
    return std::nullopt;
  }
  return snapshot;
}

}  // namespace halcyra
