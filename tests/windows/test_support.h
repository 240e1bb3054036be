// Helpers of the Windows-side tests: scratch folders, files, the AppData
// settings file, and a fresh update state for each test.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "base/texts.h"

// A fresh, empty folder for one test under the prefix's temp folder; removed
// with its content when the object goes.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& name);
  ~ScratchFolder();
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "\\" + relative; }

 private:
  std::string path_;
};

void RemoveTree(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes);
void WriteText(const std::string& path, const std::string& text);
std::vector<unsigned char> ReadBytes(const std::string& path);  // empty when missing
bool FileExists(const std::string& path);

// Every file and folder under `folder` by relative path ("dll\\RESOURCE.dll"),
// folders with a trailing '\\' and no bytes: what a run left on disk.
using Tree = std::map<std::string, std::vector<unsigned char>>;
Tree Snapshot(const std::string& folder);

// The user's AppData folder, as the program itself asks for it.
std::string AppDataFolder();
// "<AppData>\<maker>" and "<AppData>\<maker>\<base>.ini" of the title under test.
std::string MakerFolder();
std::string SettingsPath();
// Writes the settings file with the given content (creating the maker folder).
void WriteSettings(const std::string& content);
void RemoveSettings();

// Zeroes the update state and fills what the entry function would.
void ResetUpdateState();

// The texts in `language` while it lives (the boxes a test expects are built
// from them); Japanese again afterwards.
class InLanguage {
 public:
  explicit InLanguage(text::Language language) { text::gLanguage = language; }
  ~InLanguage() { text::gLanguage = text::Language::kJapanese; }
  InLanguage(const InLanguage&) = delete;
  InLanguage& operator=(const InLanguage&) = delete;
};

// Copies the exe or library `module` to `copy` and spoils `count` bytes of its
// payload resource `name` (of `type`, BIN unless given), `at` bytes into the
// resource's data: a payload damaged in the file (kLastBytes: its last `count`
// bytes). False when the resource is not there or the copy cannot be written.
constexpr DWORD kLastBytes = MAXDWORD;
bool CopyWithDamagedResource(const std::string& module, const std::string& copy, const char* name, DWORD at,
                             DWORD count, const char* type = "bin");

// A Unix symbolic link at `link` to `target` (both Windows paths), made by the
// host's ln: Wine shows it as a reparse point, the stand-in for a junction,
// which Wine cannot make. Wine lists a link only while its target exists, so
// RemoveTree (or RemoveUnixLink) must take it away before its target goes.
bool MakeUnixLink(const std::string& target, const std::string& link);
bool RemoveUnixLink(const std::string& link);
// Every link under `folder`, also those whose target is gone, which Wine
// cannot see at all: what a test that failed half-way may leave behind.
void RemoveUnixLinksUnder(const std::string& folder);

// The journal line of a payload entry `path` whose new content is `newBytes`:
// an entry that existed when `oldFile` names the target as it is on disk now
// (its identity), one the update adds when it is empty.
std::string JournalLine(const std::string& path, const std::vector<unsigned char>& newBytes,
                        const std::string& oldFile);

// Host path (Linux) of a file the build made, as a Windows path Wine can open.
std::string BuildPath(const char* unixPath);
