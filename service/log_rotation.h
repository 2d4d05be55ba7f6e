#pragma once
// The service's log rotated by size while the children write to it: its content is copied
// to HalcyraService.1.log beside it (the older generations move up to .2, .3 and so on,
// the oldest is removed) and the live log is emptied under the children, whose handle
// appends, so that their next line lands at its new start.

#include <cstdint>

#include "platform/types.h"
#include "service/log_file.h"

namespace halcyra {

inline constexpr std::uint64_t kDefaultLogRotationSize = std::uint64_t{16} << 20;
inline constexpr std::uint32_t kDefaultLogGenerations = 3;
inline constexpr std::uint32_t kMaxLogGenerations = 9;

// The live log's generation `number` (1 the newest): "HalcyraService.log" gives
// "HalcyraService.1.log". False when the path would not fit in MAX_PATH.
bool logGenerationPath(const char16_t* livePath, std::uint32_t number, char16_t (&path)[platform::kMaxPath]);

// The log the children write to from now on: `log`'s control opening (kept open until the
// process ends) and the path it is at, which is `primaryPath` or, when set, its fallback.
// A log without a control opening, or NUL, is never rotated.
void startLogRotation(const ServiceLog& log, const char16_t* primaryPath);

// The size from which the log is rotated (0: never) and the number of generations kept,
// as the configuration of the pass gives them; they hold from the next size check on.
void setLogRotation(std::uint64_t size, std::uint32_t generations);

// Checks the log's size and rotates it once it has reached the configured size; at the
// start of a pass (`passStart`) and whenever the wait it returned has passed while a child
// runs. Returns how long the supervisor waits for the next check: kInfinite when the log
// is not rotated; otherwise at most a minute, and less while the log grows quickly enough
// to reach the size sooner. A generation name that cannot be used skips the rotation
// (reported once until a rotation succeeds again), and the next check tries again.
platform::Dword checkLogRotation(bool passStart);

}  // namespace halcyra
