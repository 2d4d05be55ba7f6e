#include "service/entry.h"

int main(int argc, char** argv) { return halcyra::runEntry(argc, argv); }
