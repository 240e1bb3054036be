// A DLL beside the program is found by name until RestrictDllSearch runs, and
// never after it; system DLLs are still found. The restriction lasts for the
// process, so this runs in its own small program.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "base/win_util.h"

namespace {

constexpr char kPlanted[] = "zqplantprobe.dll";  // made up: no system folder holds it

int CallProbe(HMODULE module) {
  using ProbeFn = int (*)();
  auto probe = reinterpret_cast<ProbeFn>(reinterpret_cast<void*>(GetProcAddress(module, "PlantedProbe")));
  return probe ? probe() : 0;
}

std::string ModulePath(HMODULE module) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(module, path, MAX_PATH);
  return path;
}

std::string Lower(std::string s) {
  CharLowerA(s.data());
  return s;
}

TEST(DllSearch, PlantedDllLoadsOnlyBeforeTheRestriction) {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string folder = self;
  folder.resize(folder.rfind('\\'));
  ASSERT_NE(GetFileAttributesA((folder + "\\" + kPlanted).c_str()), INVALID_FILE_ATTRIBUTES)
      << "the fixture DLL is not beside the test program";

  // Without the restriction the default search order finds the planted copy.
  HMODULE before = LoadLibraryA(kPlanted);
  ASSERT_NE(before, nullptr) << "error " << GetLastError();
  EXPECT_EQ(CallProbe(before), 0x504c4e54);
  EXPECT_EQ(Lower(ModulePath(before)), Lower(folder + "\\" + kPlanted));
  ASSERT_TRUE(FreeLibrary(before));
  ASSERT_EQ(GetModuleHandleA(kPlanted), nullptr) << "still loaded, so the next load would reuse it";

  RestrictDllSearch();

  SetLastError(0);
  HMODULE after = LoadLibraryA(kPlanted);
  const DWORD error = GetLastError();
  if (after) FreeLibrary(after);
  EXPECT_EQ(after, nullptr) << "loaded " << ModulePath(after);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  // What the updater loads by name still comes, from the system folder.
  char system[MAX_PATH] = {};
  ASSERT_NE(GetSystemDirectoryA(system, MAX_PATH), 0u);
  HMODULE comctl = LoadLibraryA("comctl32.dll");
  ASSERT_NE(comctl, nullptr) << "error " << GetLastError();
  EXPECT_EQ(Lower(ModulePath(comctl)).rfind(Lower(system) + "\\", 0), 0u) << ModulePath(comctl);
  FreeLibrary(comctl);
}

}  // namespace
