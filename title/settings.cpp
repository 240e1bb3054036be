#include "title/settings.h"

#include <shlobj.h>

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
    ShowMessage(nullptr, text::kAppDataNotFound, text::kUnknownError, MB_ICONQUESTION);
    return 0;
  }
  lstrcpynA(gState.appDataFolder, folder, MAX_PATH);

  char path[MAX_PATH];
  if (!ComposeSettingsPath(path)) return 0;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(path, &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  FindClose(search);
  if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return 0;

  GetPrivateProfileStringA(text::kSectionInstall, text::kKeyInstallFolder, text::kNoValue,
                           gState.installFolder, MAX_PATH, path);
  return 1;
}

int IsUpdateApplied() {
  char path[MAX_PATH];
  if (!ComposeSettingsPath(path)) return 0;
  char recorded[255];
  GetPrivateProfileStringA(text::kSectionUpdate, text::kKeyAppliedVersion, text::kNoValue, recorded,
                           sizeof recorded, path);
  return IsRecordedVersionCurrent(recorded, gTitleProfile->updateVersion);
}

int RecordUpdateApplied() {
  char path[MAX_PATH];
  if (ComposeSettingsPath(path)) {
    WritePrivateProfileStringA(text::kSectionUpdate, text::kKeyAppliedVersion,
                               gTitleProfile->updateVersion, path);
  }
  return 1;
}
