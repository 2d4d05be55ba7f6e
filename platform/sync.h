#pragma once
// Events and waits (kernel32).

#include "platform/types.h"

namespace halcyra::platform {

inline constexpr Dword kInfinite = 0xFFFFFFFF;
inline constexpr Dword kWaitObject0 = 0;
inline constexpr Dword kWaitTimeout = 0x102;
inline constexpr Dword kWaitFailed = 0xFFFFFFFF;

Handle CreateEventA(SecurityAttributes* attributes, Bool manualReset, Bool initialState, const char* name);
Bool SetEvent(Handle event);
Dword WaitForSingleObject(Handle object, Dword milliseconds);
Dword WaitForMultipleObjects(Dword count, const Handle* handles, Bool waitAll, Dword milliseconds);

// Work for the system's thread pool (QueueUserWorkItem): `function(context)` runs soon on a
// pool thread. The simulation runs it at the next wait of the process that queued it.
using WorkCallback = Dword (*)(void* context);
inline constexpr Dword kWtExecuteDefault = 0;
// WT_EXECUTELONGFUNCTION: the work may take long, so the pool may add a thread for others.
inline constexpr Dword kWtExecuteLongFunction = 0x10;
Bool QueueUserWorkItem(WorkCallback function, void* context, Dword flags);

// Gives the rest of this thread's time slice to another ready thread (SwitchToThread).
void SwitchToThread();

// A lock between the threads of one process that cannot fail and raises nothing (an SRW
// lock taken exclusively), for std::lock_guard. Not recursive.
class ExclusiveLock {
 public:
  constexpr ExclusiveLock() = default;
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;
  void lock() noexcept;
  void unlock() noexcept;

 private:
  void* state_ = nullptr;  // SRWLOCK_INIT
};

}  // namespace halcyra::platform
