#pragma once
// The console helper, written against the seam alone so that the simulation runs the very
// code the Windows program runs:
//
//   helper ctrl-c <pid>     attaches to the console of process <pid>, ignores Ctrl-C
//                           itself and raises it on that console
//   helper attach-parent    attaches to the console of the process that started it
//
// The result is 0, or the error of the call that failed.

#include <string>
#include <vector>

namespace halcyra::contract {

int consoleHelper(const std::vector<std::string>& args);

}  // namespace halcyra::contract
