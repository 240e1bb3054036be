// The entry of the Windows-side test programs. Each test program gets a temp
// folder of its own, which the updaters it starts inherit: scratch folders,
// markers and logs of tests running side by side never meet. It is removed
// at the end.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

int main(int argc, char** argv) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const std::string own = std::string(temp) + "run-" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(own.c_str(), nullptr);
  SetEnvironmentVariableA("TEMP", own.c_str());
  SetEnvironmentVariableA("TMP", own.c_str());

  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();

  RemoveTree(own);
  return result;
}
