#pragma once
// HalcyraUpdateCheck.exe: runs the update check of a service pass once and reports it.
//
//   HalcyraUpdateCheck [--json]   run the check, print the report, exit 0/1/2
//   HalcyraUpdateCheck --help     print the usage, exit 0
//
// Anything else prints the usage to standard error and exits 2.

#include <cstdio>

namespace halcyra {

// The process exit code. The report goes to `out`, usage errors to `err`.
int runUpdateCheckCommand(int argc, char** argv, std::FILE* out, std::FILE* err);

}  // namespace halcyra
