// The title profile of the in-process tests: the sample title's payload, but a
// title and a maker folder of their own. The maker folder is this process's
// alone, so tests running side by side never share a settings file, and the
// title is not the sample's, so a box shown here is never taken for a running
// sample updater by one that an end-to-end test starts meanwhile.
// Tests that need another payload list point gTitleProfile at a profile of their own.
#include <windows.h>

#include "test_support.h"
#include "title/title_profile.h"

namespace {

const char* const kPayloadList[] = {"TumbleTrain.exe", "dll\\RESOURCE.dll", nullptr};

const char* ProcessMakerFolder() {
  static char folder[32];
  wsprintfA(folder, "KAZETOU-ut%lu", GetCurrentProcessId());
  return folder;
}

// The maker folder goes with the process that made it.
struct RemoveMakerFolder {
  ~RemoveMakerFolder() { RemoveTree(AppDataFolder() + "\\" + ProcessMakerFolder()); }
} gRemoveMakerFolder;

}  // namespace

extern const TitleProfile kTitleProfile = {
    ProcessMakerFolder(),
    "Ｔｕｍｂｌｅ Ｔｒａｉｎ ｔｅｓｔ",
    "TumbleTrain",
    "1",
    kPayloadList,
    "",
    nullptr,
    false,
};
