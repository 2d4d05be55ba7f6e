#pragma once
// One pass's story, told once: the supervisor builds it when the pass's child has ended and
// hands it to the events and to the schedule, so that both judge the same run from the same
// start ("did it end quickly?" is answered here alone).

#include <cstdint>
#include <optional>

#include "platform/types.h"

namespace halcyra {

// How a watched child ended.
enum class ChildEndKind {
  exited,                // by itself
  stoppedByCtrlC,        // it obeyed the service's Ctrl-C within the grace
  terminatedAfterGrace,  // still running at the end of the grace after the Ctrl-C
  terminatedUnasked,     // the Ctrl-C could not be raised
};

struct ChildEnd {
  ChildEndKind kind;
  std::optional<platform::Dword> exitCode;  // for exited and stoppedByCtrlC; none when unreadable
};

// A child counts as ending quickly when it ends by itself within this time of its start.
inline constexpr platform::Dword kQuickEndMs = 60000;

struct PassOutcome {
  bool updater = false;  // what the decision started: the updater, else the server
  platform::Dword processId = 0;
  std::uint64_t startTick = 0;  // taken once, right after its start returned
  ChildEnd end{ChildEndKind::exited, std::nullopt};
  std::uint64_t ranMs = 0;  // from startTick to the end seen
  bool quick = false;       // it ended by itself within kQuickEndMs of its start
};

// The outcome of a child started at `startTick` that was seen ending as `end` at `now`.
inline PassOutcome passOutcome(bool updater, platform::Dword processId, std::uint64_t startTick, const ChildEnd& end,
                               std::uint64_t now) {
  std::uint64_t const ranMs = now - startTick;
  return {updater, processId, startTick, end, ranMs, end.kind == ChildEndKind::exited && ranMs < kQuickEndMs};
}

}  // namespace halcyra
