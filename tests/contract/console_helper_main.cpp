// The console helper as a Windows program.

#include <string>
#include <vector>

#include "tests/contract/console_helper.h"

int main(int argc, char** argv) {
  return halcyra::contract::consoleHelper(std::vector<std::string>(argv, argv + argc));
}
