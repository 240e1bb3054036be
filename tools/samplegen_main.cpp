#include <iostream>
#include <string>
#include <vector>

#include "tools/sample_title.h"

int main(int argc, char** argv) {
  return tools::RunSamplegen(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
