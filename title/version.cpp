#include "title/version.h"

#include <cstdlib>

int IsRecordedVersionCurrent(const char* recorded, const char* updateVersion) {
  if (recorded[0] == '*') return 0;
  const float wanted = static_cast<float>(std::atof(updateVersion));
  const float have = static_cast<float>(std::atof(recorded));
  return have >= wanted ? 1 : 0;
}
