#include "test_support.h"

#include <shlobj.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "apply/staging_core.h"
#include "base/install_paths.h"
#include "base/texts.h"
#include "base/update_state.h"
#include "title/title_profile.h"

ScratchFolder::ScratchFolder(const std::string& name) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  path_ = std::string(temp) + "ut-" + name;
  // Left by an earlier test program (of the same process id): it may hold
  // links that a test failing half-way left, which Wine cannot even list.
  if (GetFileAttributesA(path_.c_str()) != INVALID_FILE_ATTRIBUTES) RemoveUnixLinksUnder(path_);
  RemoveTree(path_);
  CreateDirectoryA(path_.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder() { RemoveTree(path_); }

void RemoveTree(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  // A link goes, never what it leads to.
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    if (!DeleteFileA(path.c_str()) && !RemoveDirectoryA(path.c_str())) RemoveUnixLink(path);
    return;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileA(path.c_str());
    return;
  }
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (std::strcmp(found.cFileName, ".") && std::strcmp(found.cFileName, "..")) {
        RemoveTree(path + "\\" + found.cFileName);
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  RemoveDirectoryA(path.c_str());
}

void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void WriteText(const std::string& path, const std::string& content) {
  WriteBytes(path, std::vector<unsigned char>(content.begin(), content.end()));
}

std::vector<unsigned char> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {

void ListTree(const std::string& folder, const std::string& prefix, Tree& out) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      out[prefix + name + "\\"] = {};
      ListTree(folder + "\\" + name, prefix + name + "\\", out);
    } else {
      out[prefix + name] = ReadBytes(folder + "\\" + name);
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

}  // namespace

Tree Snapshot(const std::string& folder) {
  Tree tree;
  ListTree(folder, "", tree);
  return tree;
}

std::string AppDataFolder() {
  char folder[MAX_PATH] = {};
  SHGetSpecialFolderPathA(nullptr, folder, CSIDL_APPDATA, FALSE);
  return folder;
}

std::string MakerFolder() { return AppDataFolder() + "\\" + gTitleProfile->makerFolder; }

std::string SettingsPath() { return MakerFolder() + "\\" + gTitleProfile->baseName + ".ini"; }

void WriteSettings(const std::string& content) {
  RemoveSettings();
  CreateDirectoryA(MakerFolder().c_str(), nullptr);
  WriteText(SettingsPath(), content);
}

void RemoveSettings() { RemoveTree(SettingsPath()); }

void ResetUpdateState() {
  std::memset(&gState, 0, sizeof gState);
  gState.instance = GetModuleHandleA(nullptr);
  wsprintfA(gState.caption, text::kCaptionFormat, gTitleProfile->displayTitle);
}

bool CopyWithDamagedResource(const std::string& module, const std::string& copy, const char* name, DWORD at,
                             DWORD count, const char* type) {
  if (!CopyFileA(module.c_str(), copy.c_str(), FALSE)) return false;
  // Loaded as a data file the module is the file's bytes as they lie, so a
  // resource's place in the view is its offset in the file.
  HMODULE view = LoadLibraryExA(copy.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!view) return false;
  DWORD offset = 0, size = 0;
  if (HRSRC found = FindResourceA(view, name, type)) {
    const auto* bytes = static_cast<const unsigned char*>(LockResource(LoadResource(view, found)));
    const auto* base =
        reinterpret_cast<const unsigned char*>(reinterpret_cast<UINT_PTR>(view) & ~UINT_PTR{3});
    offset = static_cast<DWORD>(bytes - base);
    size = SizeofResource(view, found);
  }
  FreeLibrary(view);
  if (at == kLastBytes && count <= size) at = size - count;
  if (size == 0 || at > size || count > size - at) return false;
  std::vector<unsigned char> bytes = ReadBytes(copy);
  for (DWORD i = 0; i < count; ++i) bytes[offset + at + i] ^= 0xA5;
  WriteBytes(copy, bytes);
  return ReadBytes(copy) == bytes;
}

namespace {

std::string UnixName(const std::string& path) {
  using ToUnix = char*(CDECL*)(LPCWSTR);
  const auto toUnix = reinterpret_cast<ToUnix>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  wchar_t wide[MAX_PATH];
  if (!toUnix || !MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH)) return std::string();
  char* name = toUnix(wide);
  std::string result = name ? name : "";
  if (name) HeapFree(GetProcessHeap(), 0, name);
  return result;
}

// Runs a shell command on the host. Wine starts it apart from its own
// processes, so its handle says nothing of when it is done: the command
// leaves a marker file last, and this waits for it.
bool RunOnHost(const std::string& command) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const std::string marker = std::string(temp) + "host-done-" + std::to_string(GetCurrentProcessId());
  DeleteFileA(marker.c_str());
  const std::string unixMarker = UnixName(marker);
  if (unixMarker.empty()) return false;
  std::string commandLine = "Z:\\bin\\sh -c \"" + command + "; : > '" + unixMarker + "'\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return false;
  }
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  for (int i = 0; i < 1000; ++i) {
    if (GetFileAttributesA(marker.c_str()) != INVALID_FILE_ATTRIBUTES) {
      DeleteFileA(marker.c_str());
      return true;
    }
    Sleep(10);
  }
  return false;
}

}  // namespace

bool MakeUnixLink(const std::string& target, const std::string& link) {
  const std::string from = UnixName(target), to = UnixName(link);
  return !from.empty() && !to.empty() && RunOnHost("ln -s '" + from + "' '" + to + "'");
}

bool RemoveUnixLink(const std::string& link) {
  const std::string name = UnixName(link);
  return !name.empty() && RunOnHost("rm -f '" + name + "'");
}

void RemoveUnixLinksUnder(const std::string& folder) {
  const std::string name = UnixName(folder);
  if (!name.empty()) RunOnHost("find '" + name + "' -type l -delete 2>/dev/null");
}

std::string JournalLine(const std::string& path, const std::vector<unsigned char>& newBytes,
                        const std::string& oldFile) {
  staging::JournalEntry entry{};
  entry.kind = oldFile.empty() ? staging::kEntryNew : staging::kEntryExisted;
  entry.size = static_cast<uint32_t>(newBytes.size());
  entry.checksum = ScanFileChecksum(newBytes.data(), newBytes.size(), false, 0);
  lstrcpynA(entry.path, path.c_str(), sizeof entry.path);
  if (!oldFile.empty()) {
    HANDLE file = CreateFileA(oldFile.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    OpenFileFacts facts = {};
    if (file != INVALID_HANDLE_VALUE && FactsOf(file, &facts)) entry.old = facts.identity;
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
  char line[512];
  return std::string(line, staging::FormatJournalEntry(entry, line, sizeof line));
}

std::string BuildPath(const char* unixPath) {
  // Wine maps the host's root as drive Z:.
  std::string path = std::string("Z:") + unixPath;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}
