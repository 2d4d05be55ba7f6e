#pragma once
// The update schedule as the service last saw it, in a small file for the update-check
// diagnostic, which is another process: "HalcyraService.schedule" beside the service's
// executable, in <install root>\bin, while the service runs. Only Administrators and SYSTEM can write that folder
// (the service executable is started from it), so no other user can plant or alter what the
// diagnostic reads; the temporary folder of the log would let every user create files.
//
// Times in the file are the platform clock's (milliseconds since Windows started), which
// every process of the machine shares; a file written before the last restart of Windows
// shows times ahead of the clock and is ignored.

#include <cstdint>
#include <optional>
#include <string>

#include "update/update_schedule.h"

namespace halcyra {

// The first line of the file, which names its format.
inline constexpr char kScheduleFormat[] = "halcyra-schedule 1";

struct ScheduleSnapshot {
  std::uint32_t processId = 0;  // the service that wrote it
  std::uint64_t written = 0;
  UpdateSchedule schedule;
};

// <folder of this executable>\HalcyraService.schedule; none when the path is unknown.
std::optional<std::u16string> scheduleFilePath();

// The text form and back; none for a text that is not one. The reading (this parse and
// readScheduleFile) lives in schedule_file_reader.cpp: only the diagnostic reads the file,
// so the service's executable does not carry it.
std::string scheduleText(const ScheduleSnapshot& snapshot);
std::optional<ScheduleSnapshot> parseScheduleText(const std::string& text);

// Replaces the file with the snapshot; best effort, the schedule never depends on it.
void writeScheduleFile(const ScheduleSnapshot& snapshot);
void removeScheduleFile();
// The file, when there is one that was written since Windows started.
std::optional<ScheduleSnapshot> readScheduleFile();

}  // namespace halcyra
