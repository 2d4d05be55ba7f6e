// The reading side of the schedule file, for the update-check diagnostic and the tests: the
// service only writes the file, so its executable does not carry the parser.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/files.h"
#include "service/schedule_file.h"
#include "version/version_number.h"

namespace halcyra {

namespace {

// The words of one line after its key, read in turn as unsigned decimal numbers; a word
// missing, with anything but digits or too large for its target fails the whole line.
class LineReader {
 public:
  explicit LineReader(std::string_view line) : rest_(line) {}

  // The first word.
  std::string_view key() { return nextWord(); }

  template <typename Number>
  LineReader& operator>>(Number& target) {
    const std::optional<std::uint64_t> value = nextNumber();
    ok_ = ok_ && value && *value <= std::numeric_limits<Number>::max();
    if (ok_) {
      target = static_cast<Number>(*value);
    }
    return *this;
  }

  LineReader& operator>>(VersionNumber& v) { return *this >> v.major >> v.minor >> v.build >> v.revision; }

  explicit operator bool() const { return ok_; }

 private:
  std::string_view nextWord() {
    const std::size_t begin = std::min(rest_.find_first_not_of(" \t\r"), rest_.size());
    const std::size_t end = std::min(rest_.find_first_of(" \t\r", begin), rest_.size());
    const std::string_view word = rest_.substr(begin, end - begin);
    rest_.remove_prefix(end);
    return word;
  }

  std::optional<std::uint64_t> nextNumber() {
    const std::string_view word = nextWord();
    if (word.empty() || word.size() > 19) {
      return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : word) {
      if (c < '0' || c > '9') {
        return std::nullopt;
      }
      value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
  }

  std::string_view rest_;
  bool ok_ = true;
};

}  // namespace

std::optional<ScheduleSnapshot> parseScheduleText(const std::string& text) {
  std::string_view rest = text;
  const auto nextLine = [&rest]() {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    return line;
  };
  if (rest.empty() || nextLine() != kScheduleFormat) {
    return std::nullopt;
  }
  ScheduleSnapshot snapshot;
  UpdateSchedule& s = snapshot.schedule;
  while (!rest.empty()) {
    LineReader in(nextLine());
    const std::string_view key = in.key();
    bool read = true;
    if (key == "process") {
      read = static_cast<bool>(in >> snapshot.processId);
    } else if (key == "written") {
      read = static_cast<bool>(in >> snapshot.written);
    } else if (key == "announced") {
      VersionNumber v;
      read = static_cast<bool>(in >> v >> s.announcedAt);
      s.announced = v;
    } else if (key == "fetches") {
      unsigned pause = 0;
      read = static_cast<bool>(in >> s.failedFetches >> s.fetchNotBefore >> pause) && pause <= 2;
      s.pause = static_cast<FetchPause>(pause);
    } else if (key == "quick-ends") {
      read = static_cast<bool>(in >> s.quickEnds >> s.quickEndRounds >> s.quickEndsNotBefore);
    } else if (key == "stuck") {
      StuckUpdate stuck;
      read = static_cast<bool>(in >> stuck.announced >> stuck.installed >> stuck.unchangedRuns >> stuck.setAsides >>
                               stuck.setAsideUntil >> stuck.firstRunAt);
      s.stuck = stuck;
    }
    if (!read) {
      return std::nullopt;
    }
  }
  return snapshot;
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
