#include "platform/sync.h"

#include <new>

#include "platform/win32/windows_types.h"

namespace halcyra::platform {

static_assert(kInfinite == INFINITE && kWaitObject0 == WAIT_OBJECT_0 && kWaitTimeout == WAIT_TIMEOUT &&
              kWaitFailed == WAIT_FAILED);

Handle CreateEventA(SecurityAttributes* attributes, Bool manualReset, Bool initialState, const char* name) {
  return ::CreateEventA(win32::native(attributes), manualReset, initialState, name);
}

Bool SetEvent(Handle event) { return ::SetEvent(event); }

Dword WaitForSingleObject(Handle object, Dword milliseconds) { return ::WaitForSingleObject(object, milliseconds); }

Dword WaitForMultipleObjects(Dword count, const Handle* handles, Bool waitAll, Dword milliseconds) {
  return ::WaitForMultipleObjects(count, handles, waitAll, milliseconds);
}

namespace {

struct Work {
  WorkCallback function;
  void* context;
};

// The pool's thread routine has the WINAPI calling convention; the seam's does not.
DWORD WINAPI runWork(LPVOID parameter) {
  Work const work = *static_cast<Work*>(parameter);
  delete static_cast<Work*>(parameter);
  return work.function(work.context);
}

}  // namespace

Bool QueueUserWorkItem(WorkCallback function, void* context, Dword flags) {
  auto* const work = new (std::nothrow) Work{function, context};
  if (work == nullptr) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (::QueueUserWorkItem(&runWork, work, flags) == FALSE) {
    delete work;
    return FALSE;
  }
  return TRUE;
}

void SwitchToThread() { static_cast<void>(::SwitchToThread()); }

static_assert(sizeof(void*) == sizeof(SRWLOCK));

void ExclusiveLock::lock() noexcept { ::AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&state_)); }

void ExclusiveLock::unlock() noexcept { ::ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&state_)); }

}  // namespace halcyra::platform
