// payloadtool: the Windows build's post-link steps on the updater it links.
//   payloadtool align EXE   moves EXE's resource section to a page boundary
#include <iostream>
#include <string>

#include "tools/pe_align.h"

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "align" && argc == 3) return tools::AlignExeFile(argv[2], std::cout, std::cerr);
  std::cerr << "usage: payloadtool align EXE\n";
  return 2;
}
