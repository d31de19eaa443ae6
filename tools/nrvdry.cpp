#include <iostream>
#include <string>
#include <vector>

#include "dryrun.h"

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return RunDryRun(args, std::cout, std::cerr);
}
