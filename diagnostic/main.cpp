#include <cstdio>

#include "diagnostic/update_check_command.h"

int main(int argc, char** argv) { return halcyra::runUpdateCheckCommand(argc, argv, stdout, stderr); }
