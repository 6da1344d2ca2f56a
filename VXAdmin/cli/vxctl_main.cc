#include <string>
#include <vector>

#include "VXAdmin/cli/vxctl.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return vxadmin::cli::RunVxctl(args);
}
