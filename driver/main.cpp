#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "driver/run.h"

int main(int argc, char** argv) {
  // A file-size limit must make a write fail (reported, and the incomplete
  // output removed), not kill the process and leave the partial file.
  std::signal(SIGXFSZ, SIG_IGN);
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args(argv, argv + argc);
  return korv::Run(args, std::cout);
}
