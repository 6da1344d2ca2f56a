// DbSealer.exe: takes no arguments; see sealer.h for what it does and its
// exit codes.
#include <iostream>

#include "DbSealer/sealer.h"

int main() { return dbsealer::RunDbSealer(std::cerr); }
