#include "title/settings.h"

#include <shlobj.h>

#include "base/log.h"
#include "base/texts.h"
#include "base/update_state.h"
#include "base/win_util.h"
#include "title/title_profile.h"
#include "title/version.h"

namespace {

// "<AppData>\<maker>\<base>.ini". A path that does not fit MAX_PATH is treated
// like a missing settings file, so nothing is composed past the buffer.
int ComposeSettingsPath(char (&path)[MAX_PATH]) {
  const TitleProfile& title = *gTitleProfile;
  return FormatText(path, text::kSettingsPathFormat, gState.appDataFolder, title.makerFolder,
                    title.baseName) >= 0;
}

}  // namespace

int LocateInstallFolder() {
  char folder[MAX_PATH] = {};
  if (!SHGetSpecialFolderPathA(nullptr, folder, CSIDL_APPDATA, FALSE) &&
      !SHGetSpecialFolderPathA(nullptr, folder, CSIDL_COMMON_APPDATA, FALSE)) {
    LogStep("AppData", "Windows names no AppData folder");
    ShowMessage(nullptr, text::kAppDataNotFound, text::kUnknownError, MB_ICONQUESTION);
    return 0;
  }
  lstrcpynA(gState.appDataFolder, folder, MAX_PATH);

  char path[MAX_PATH];
  if (!ComposeSettingsPath(path)) {
    LogStepPath("settings file", gState.appDataFolder, "its path under this folder is too long");
    return 0;
  }
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(path, &found);
  if (search == INVALID_HANDLE_VALUE) {
    LogFailure("settings file", path, GetLastError());
    return 0;
  }
  FindClose(search);
  if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    LogStepPath("settings file", path, "is a folder");
    return 0;
  }

  GetPrivateProfileStringA(text::kSectionInstall, text::kKeyInstallFolder, text::kNoValue,
                           gState.installFolder, MAX_PATH, path);
  LogStepPath("settings file", path, "found");
  LogStepPath("install folder", gState.installFolder, "as the settings file names it (* for none)");
  return 1;
}

int IsUpdateApplied() {
  char path[MAX_PATH];
  if (!ComposeSettingsPath(path)) return 0;
  char recorded[255];
  GetPrivateProfileStringA(text::kSectionUpdate, text::kKeyAppliedVersion, text::kNoValue, recorded,
                           sizeof recorded, path);
  const int applied = IsRecordedVersionCurrent(recorded, gTitleProfile->updateVersion);
  LogStep("applied update", "%s recorded (* for none), this update is %s: %s", recorded,
          gTitleProfile->updateVersion, applied ? "already applied" : "not applied yet");
  return applied;
}

int RecordUpdateApplied() {
  char path[MAX_PATH];
  if (ComposeSettingsPath(path)) {
    if (WritePrivateProfileStringA(text::kSectionUpdate, text::kKeyAppliedVersion,
                                   gTitleProfile->updateVersion, path)) {
      LogStepPath("record", path, "this update's version recorded");
    } else {
      LogFailure("record", path, GetLastError());
    }
  }
  return 1;
}
