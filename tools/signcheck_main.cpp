#include <iostream>
#include <string>
#include <vector>

#include "tools/pe_signature.h"

int main(int argc, char** argv) {
  return tools::RunSigncheck(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
