#pragma once
// Every case of the contract runs on both backends except those named here, each with the
// reason one backend cannot express it. This is the whole list of known differences
// between the simulated machine and Wine.

#include <gtest/gtest.h>

#include "tests/contract/world.h"

namespace halcyra::contract {

struct Gap {
  Backend missingOn;   // the backend that cannot run the case
  const char* reason;  // why, for the test output
};

inline constexpr Gap kExactVirtualTime{
    Backend::windows,
    "only the virtual clock is exact: real waits end a timer tick or a busy machine later than asked"};
inline constexpr Gap kDeadlockDetection{
    Backend::windows, "an INFINITE wait that nothing can end hangs on Windows; only the simulation reports it"};
inline constexpr Gap kNoPrivilegeChecks{
    Backend::windows, "Wine checks no privileges: SetTokenInformation(TokenSessionId) succeeds without SeTcbPrivilege"};
inline constexpr Gap kTruncatedVersionBlock{
    Backend::windows,
    "a resource compiler always writes the fixed version information; a block too short for it exists only in the "
    "simulation"};

inline constexpr Gap kWineIgnoresTheToken{
    Backend::windows,
    "Wine's CreateProcessAsUserW ignores its token: a null or impersonation token starts the program"};
inline constexpr Gap kWineCommandLineLimit{Backend::windows,
                                           "Wine starts a program whose command line exceeds 32,767 characters"};
inline constexpr Gap kWineFolderAsProgram{
    Backend::windows, "Wine fails a folder started as a program with ERROR_INVALID_HANDLE (6), Windows with 5"};
inline constexpr Gap kWineAttachToNoProcess{
    Backend::windows,
    "Wine's AttachConsole fails for a process that has ended or never existed with ERROR_INVALID_HANDLE (6); "
    "Windows documents ERROR_INVALID_PARAMETER (87)"};
inline constexpr Gap kStartupInfoSizeChecked{
    Backend::windows,
    "the simulation refuses a STARTUPINFOW whose cb is no structure's size, so that a wrong size in the service "
    "fails its tests; Windows and Wine read the structure regardless"};
inline constexpr Gap kWineDaclFromModeBits{
    Backend::windows,
    "Wine builds a file's access list from its Unix mode bits: a file created with full access for SYSTEM and the "
    "Administrators reads back with SYSTEM and the Unix user, one created without a descriptor with SYSTEM, the Unix "
    "user and Everyone reading"};
inline constexpr Gap kWineImportsAnyPoint{
    Backend::windows,
    "Wine's BCryptImportKeyPair takes a point off the curve, and the verification reports STATUS_INVALID_SIGNATURE"};
inline constexpr Gap kWineNoSignerAfterBadDigest{
    Backend::windows,
    "Wine's WinVerifyTrust stops at a bad image digest before it reads the signer: its state data names none"};

// Whether this backend runs a case, or a row of a case's table, that names the gap.
inline bool runsHere(const Gap& gap) { return backend() != gap.missingOn; }

// Skips the rest of the case on the backend that cannot run it, with the reason.
#define HALCYRA_SKIP_FOR_GAP(gap)                            \
  do {                                                       \
    if (::halcyra::contract::backend() == (gap).missingOn) { \
      GTEST_SKIP() << (gap).reason;                          \
    }                                                        \
  } while (false)

}  // namespace halcyra::contract
