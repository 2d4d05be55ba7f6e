// Random faults: any seam operation may fail at a chosen rate, with an error Windows could
// plausibly give for it. Operations are known by name only, so an operation added to the
// seam later is covered as soon as its simulation goes through enterFails.

#include <array>
#include <map>
#include <new>
#include <vector>

#include "platform/sim/sim_machine.h"

namespace halcyra::sim {

namespace detail {

namespace {

inline constexpr Dword kErrorSharingViolation = 32;
inline constexpr Dword kErrorNoSystemResources = 1450;

// Errors that a call on valid arguments can still meet: resources running out, access
// refused by someone else's doing.
inline constexpr std::array<Dword, 3> kGenericErrors = {platform::kErrorAccessDenied, platform::kErrorNotEnoughMemory,
                                                        kErrorNoSystemResources};

// Operations with their own plausible errors. An empty list marks an operation that
// cannot fail on the arguments the service gives it (closing a valid handle, signalling
// a valid event, the pseudo handles, the process heap), so no fault is drawn for it.
const std::map<std::string_view, std::vector<Dword>>& plausibleErrors() {
  static const std::map<std::string_view, std::vector<Dword>> table = {
      {"CloseHandle", {}},
      {"FindClose", {}},
      {"SetEvent", {}},
      {"GetCurrentProcess", {}},
      {"GetCurrentProcessId", {}},
      {"GetProcessHeap", {}},
      {"HeapFree", {}},
      {"ExitProcess", {}},
      {"fileNameCodePage", {}},
      {"Sleep", {}},
      {"IsWellKnownSid", {}},
      {"EqualSid", {}},
      {"WaitForSingleObject", {platform::kErrorInvalidHandle}},
      {"WaitForMultipleObjects", {platform::kErrorInvalidHandle}},
      {"GetExitCodeProcess", {platform::kErrorInvalidHandle}},
      {"SetServiceStatus", {platform::kErrorInvalidHandle}},
      // A valid handle with full access is refused only when the process is already on its
      // way out; the simulated TerminateProcess ends it in that case.
      {"TerminateProcess", {platform::kErrorAccessDenied}},
      {"CreateFileW", {platform::kErrorAccessDenied, kErrorSharingViolation}},
      {"ReadTextModeFile", {platform::kErrorAccessDenied, kErrorSharingViolation}},
      {"CreateProcessAsUserW",
       {platform::kErrorAccessDenied, platform::kErrorNotEnoughMemory, kErrorNoSystemResources,
        platform::kErrorPrivilegeNotHeld}},
  };
  return table;
}

}  // namespace

std::optional<Dword> drawRandomFault(const Call& call) {
  RandomFaultState& faults = machine().randomFaults;
  if (!faults.active) {
    return std::nullopt;
  }
  auto const known = plausibleErrors().find(call.name);
  if (known != plausibleErrors().end() && known->second.empty()) {
    return std::nullopt;
  }
  if (faults.engine() % 1000 >= faults.perMille) {
    return std::nullopt;
  }
  if (faults.throwsBadAlloc && faults.throwsBadAlloc(call) && faults.engine() % 2 == 0) {
    ++faults.injected[call.name + " std::bad_alloc"];
    throw std::bad_alloc();
  }
  ++faults.injected[call.name];
  if (known != plausibleErrors().end()) {
    return known->second[faults.engine() % known->second.size()];
  }
  return kGenericErrors[faults.engine() % kGenericErrors.size()];
}

}  // namespace detail

void setRandomFaults(RandomFaults faults) {
  detail::RandomFaultState& state = detail::machine().randomFaults;
  state.active = faults.perMille > 0;
  state.engine.seed(faults.seed);
  state.perMille = faults.perMille;
  state.throwsBadAlloc = std::move(faults.throwsBadAlloc);
  state.injected.clear();
}

std::map<std::string, std::size_t> injectedFaults() { return detail::machine().randomFaults.injected; }

}  // namespace halcyra::sim
