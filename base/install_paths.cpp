#include "base/install_paths.h"

#include <cstring>
#include <cwchar>

#include "base/update_state.h"
#include "base/win_util.h"

namespace {

// Folders held open for the rest of the run: the install folder and those
// below it that the updater has looked at. The handles go with the process.
constexpr int kMostHeld = 64;
HANDLE gHeld[kMostHeld];
char gHeldPaths[kMostHeld][MAX_PATH];
int gHeldCount = 0;

// The final path of an open file or folder, in UTF-16 and without the "\\?\"
// the system puts before it ("\\?\UNC\server" becomes "\\server").
bool FinalPath(HANDLE handle, wchar_t (&out)[MAX_PATH + 8]) {
  wchar_t raw[MAX_PATH + 16];
  const DWORD length =
      GetFinalPathNameByHandleW(handle, raw, MAX_PATH + 16, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= MAX_PATH + 16) return false;
  const wchar_t* from = raw;
  if (std::wcsncmp(raw, L"\\\\?\\UNC\\", 8) == 0) {
    out[0] = out[1] = L'\\';
    if (length - 8 + 2 >= MAX_PATH + 8) return false;
    std::wmemcpy(out + 2, raw + 8, length - 8 + 1);
    return true;
  }
  if (std::wcsncmp(raw, L"\\\\?\\", 4) == 0) from = raw + 4;
  const size_t rest = length - static_cast<size_t>(from - raw);
  if (rest >= MAX_PATH + 8) return false;
  std::wmemcpy(out, from, rest + 1);
  return true;
}

bool IsReparsePoint(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Opens a folder to hold it: others may read and write in it, never rename or
// remove it. A junction at the name is followed, and told by the final path.
HANDLE OpenFolderToHold(const char* path) {
  return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool IsHeld(const char* path) {
  for (int i = 0; i < gHeldCount; ++i) {
    if (lstrcmpiA(gHeldPaths[i], path) == 0) return true;
  }
  return false;
}

bool Hold(HANDLE handle, const char* path) {
  if (gHeldCount == kMostHeld) {
    CloseHandle(handle);
    return false;
  }
  gHeld[gHeldCount] = handle;
  lstrcpynA(gHeldPaths[gHeldCount], path, MAX_PATH);
  ++gHeldCount;
  return true;
}

}  // namespace

bool OpenedAsNamed(HANDLE handle, const char* path) {
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ||
      IsReparsePoint(basic.FileAttributes)) {
    return false;
  }
  // Under Wine a handle opened through a Unix symbolic link does not say so;
  // the name does.
  if (IsReparsePoint(GetFileAttributesA(path))) return false;
  wchar_t final[MAX_PATH + 8];
  wchar_t named[MAX_PATH];
  if (!FinalPath(handle, final) || WidenText(named, path, CP_ACP) < 0) return false;
  // A name given as "\\?\C:\..." is compared without that prefix, as the final path is.
  const wchar_t* name = std::wcsncmp(named, L"\\\\?\\", 4) == 0 && named[5] == L':' ? named + 4 : named;
  return CompareStringOrdinal(final, -1, name, -1, TRUE) == CSTR_EQUAL;
}

bool ResolveInstallFolder() {
  // A folder a player moved elsewhere and left a junction in its place is
  // still theirs: this one junction is followed.
  HANDLE folder = OpenFolderToHold(gState.installFolder);
  if (folder == INVALID_HANDLE_VALUE) return false;
  // A folder named without a drive letter (a network path, say) is held as it
  // is: the free-space check refuses it before anything is written.
  if (gState.installFolder[0] == '\0' || gState.installFolder[1] != ':')
    return Hold(folder, gState.installFolder);
  wchar_t final[MAX_PATH + 8];
  char resolved[MAX_PATH];
  BOOL lossy = FALSE;
  if (!FinalPath(folder, final) ||
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, final, -1, resolved, MAX_PATH, nullptr, &lossy) <=
          0 ||
      lossy) {
    CloseHandle(folder);
    return false;
  }
  // A drive's root comes back as "X:\"; the other paths are joined to it with a '\' of their own.
  if (std::strlen(resolved) == 3 && resolved[1] == ':') resolved[2] = '\0';
  lstrcpynA(gState.installFolder, resolved, MAX_PATH);
  return Hold(folder, gState.installFolder);
}

bool FoldersArePlain(const char* relative) {
  char path[MAX_PATH];
  const size_t base = std::strlen(gState.installFolder);
  if (!JoinPath(path, gState.installFolder, relative)) return false;
  // Each folder on the way, from the install folder down; a '\' that is the
  // second byte of a double-byte character separates nothing.
  for (char* at = path + base + 1; *at; at = CharNextExA(CP_ACP, at, 0)) {
    if (*at != '\\' && *at != '/') continue;
    const char separator = *at;
    *at = '\0';
    bool plain = true;
    if (!IsHeld(path)) {
      const DWORD attributes = GetFileAttributesA(path);
      if (attributes == INVALID_FILE_ATTRIBUTES) {
        *at = separator;
        return true;  // not there: nothing further down can be either
      }
      HANDLE folder = IsReparsePoint(attributes) ? INVALID_HANDLE_VALUE : OpenFolderToHold(path);
      if (folder != INVALID_HANDLE_VALUE && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
          OpenedAsNamed(folder, path)) {
        plain = Hold(folder, path);
      } else {
        plain = false;
        if (folder != INVALID_HANDLE_VALUE) CloseHandle(folder);
      }
    }
    *at = separator;
    if (!plain) return false;
  }
  return true;
}

bool NoLinkOnTheWay(const char* folder, const char* relative) {
  char path[MAX_PATH];
  if (!JoinPath(path, folder, relative)) return false;
  for (char* at = path + std::strlen(folder) + 1;; at = CharNextExA(CP_ACP, at, 0)) {
    if (*at != '\\' && *at != '/' && *at != '\0') continue;
    const char kept = *at;
    *at = '\0';
    bool plain = IsPlainOrMissing(path);
    if (plain && kept == '\0' && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) {
      // Under Wine a link to a file looks like a plain file; opened, its final path tells.
      HANDLE file = OpenToLookAt(path, FILE_READ_ATTRIBUTES);
      plain = file != INVALID_HANDLE_VALUE;
      if (plain) CloseHandle(file);
    }
    *at = kept;
    if (!plain) return false;
    if (kept == '\0') return true;
  }
}

bool IsPlainOrMissing(const char* path) { return !IsReparsePoint(GetFileAttributesA(path)); }

bool FactsOf(HANDLE handle, OpenFileFacts* facts) {
  // GetFileInformationByHandle asks the volume for its serial number each
  // time, which under Wine costs half a millisecond: the files compared here
  // all lie on the install folder's volume, so it is asked once. The file's
  // index on it comes from the system's own query, which Windows 7 has.
  static DWORD volume = 0;
  static bool volumeKnown = false;
  struct StatusBlock {  // the system's IO_STATUS_BLOCK
    void* status;
    ULONG_PTR information;
  };
  using QueryFn = LONG(WINAPI*)(HANDLE, StatusBlock*, void*, ULONG, int);
  // Looked up once, without a guarded static: its runtime support would cost
  // the exe more than the lookup does.
  static QueryFn query = nullptr;
  if (!query) {
    query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationFile")));
  }
  constexpr int kFileInternalInformation = 6;
  FILE_STANDARD_INFO standard;
  FILE_BASIC_INFO basic;
  StatusBlock status;
  LARGE_INTEGER index;
  if (!query || query(handle, &status, &index, sizeof index, kFileInternalInformation) < 0 ||
      !GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) ||
      !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
    return false;
  }
  if (!volumeKnown) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return false;
    volume = info.dwVolumeSerialNumber;
    volumeKnown = true;
  }
  facts->identity = {volume, static_cast<uint64_t>(index.QuadPart)};
  facts->size = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
  facts->attributes = basic.FileAttributes;
  facts->links = standard.NumberOfLinks;
  return true;
}

HANDLE OpenToLookAt(const char* path, DWORD access, FileIdentity expected) {
  HANDLE file = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return file;
  OpenFileFacts facts;
  const bool known = (expected.volume | expected.index) != 0;
  if (known ? !FactsOf(file, &facts) || !SameFile(facts.identity, expected) : !OpenedAsNamed(file, path)) {
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}
