#include <iostream>
#include <string>
#include <vector>

#include "tools/record_library.h"

int main(int argc, char** argv) {
  return tools::RunRecordlib(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
