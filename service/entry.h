#pragma once
// Process entry: the command line chooses between service mode and stop-request mode.
//
//   <exe> --terminate <id>   stop-request mode: raise Ctrl-C on the console of process id
//   anything else             service mode: hand the main thread to the SCM's dispatcher

#include <cstdint>

namespace halcyra {

// Returns the process exit code: in stop-request mode 0 when the Ctrl-C was raised, else
// the error of the failed console call; in service mode the dispatcher's BOOL result.
int runEntry(int argc, char** argv);

// Decimal text to a 32-bit value as the Windows C runtime's atol reads it: leading white
// space (space, \t, \n, \v, \f, \r), then an optional sign, then digits up to the first
// non-digit; text without digits gives 0. A value beyond the 32-bit range gives
// INT32_MAX or INT32_MIN, which is what that runtime returns on overflow.
std::int32_t parseDecimalLikeAtol(const char* text);

}  // namespace halcyra
