#include <gtest/gtest.h>

#include "title/version.h"

namespace {

TEST(RecordedVersion, ComparesAsSinglePrecisionNumbers) {
  struct Case {
    const char* recorded;
    const char* update;
    int current;
  };
  const Case cases[] = {
      {"1", "1", 1},          {"1.0", "1", 1},   {"01", "1", 1},         {"2", "1", 1},
      {"0.5", "1", 0},        {"", "1", 0},      {"abc", "1", 0},        {"*", "1", 0},
      {"*9", "1", 0},         {"  3", "1", 1},   {"1.00000001", "1", 1}, {"0.9999999", "1", 0},
      {"1.5", "2", 0},        {"2abc", "2", 1},  {"-1", "0", 0},         {"0", "abc", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.recorded) + " vs " + c.update);
    EXPECT_EQ(IsRecordedVersionCurrent(c.recorded, c.update), c.current);
  }
}

}  // namespace
