// Hostile and broken input met by the built updater as a user would meet it:
// a settings file that names something odd, a record library that is damaged
// or carries code, targets that cannot be replaced, a full drive, and
// update-information lists out of the ordinary. Every row ends with a message
// the user can read, the exit code the sequence gives that path, and every
// installed file either whole as it was or whole as the update writes it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "scenario.h"
#include "verify/checksum.h"
#include "verify/pe_resources.h"
#include "verify/record.h"

namespace {

// ---- Record libraries built by changing the bytes of a sound one ----------

uint32_t GetU32(const std::vector<unsigned char>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t GetU16(const std::vector<unsigned char>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
void PutU32(std::vector<unsigned char>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// Where the parts of a library that the rows change lie in its file.
struct LibraryLayout {
  uint32_t rootOffset = 0;     // resource directory root
  uint32_t rcdataDir = 0;      // RT_RCDATA name directory, relative to the root
  uint32_t selfData = 0;       // the SelfRecord's bytes
  uint32_t selfEntry = 0;      // its IMAGE_RESOURCE_DATA_ENTRY
  uint32_t mainData = 0;       // the main program's FileRecord
  uint32_t mainEntry = 0;      // its data entry
  uint32_t mainNameEntry = 0;  // its entry in the RT_RCDATA name directory
};

uint32_t RvaToOffset(const std::vector<unsigned char>& b, uint32_t rva) {
  const uint32_t pe = GetU32(b, 0x3C);
  const uint16_t sections = GetU16(b, pe + 6);
  const uint32_t table = pe + 24 + GetU16(b, pe + 20);
  for (uint16_t i = 0; i < sections; ++i) {
    const uint32_t s = table + 40u * i;
    const uint32_t va = GetU32(b, s + 12);
    if (rva >= va && rva < va + GetU32(b, s + 16)) return rva - va + GetU32(b, s + 20);
  }
  ADD_FAILURE() << "rva " << rva << " maps to no section";
  return 0;
}

// The data entry that describes a resource: its (rva, size) pair in the file.
uint32_t FindDataEntry(const std::vector<unsigned char>& b, const ResourceEntry& e) {
  for (size_t at = 0; at + 8 <= b.size(); at += 4) {
    if (GetU32(b, at) == e.dataRva && GetU32(b, at + 4) == e.dataSize) return static_cast<uint32_t>(at);
  }
  ADD_FAILURE() << "no data entry for rva " << e.dataRva;
  return 0;
}

LibraryLayout ReadLayout(const std::vector<unsigned char>& b) {
  LibraryLayout layout;
  ResourceEntry self{}, main{};
  EXPECT_EQ(FindPeResource(b.data(), b.size(), MakeResourceKey(kResourceTypeRcData),
                           MakeResourceKey("RESOURCE.DLL"), &self),
            PeStatus::kOk);
  EXPECT_EQ(FindPeResource(b.data(), b.size(), MakeResourceKey(kResourceTypeRcData),
                           MakeResourceKey("TUMBLETRAIN.EXE"), &main),
            PeStatus::kOk);
  layout.selfData = self.dataOffset;
  layout.mainData = main.dataOffset;
  layout.selfEntry = FindDataEntry(b, self);
  layout.mainEntry = FindDataEntry(b, main);

  const uint32_t pe = GetU32(b, 0x3C);
  const uint32_t optional = pe + 24;
  const uint32_t directories = optional + (GetU16(b, optional) == 0x20b ? 112 : 96);
  layout.rootOffset = RvaToOffset(b, GetU32(b, directories + 2 * 8));
  auto entries = [&](uint32_t dir) { return GetU16(b, dir + 12) + GetU16(b, dir + 14); };
  const uint32_t root = layout.rootOffset;
  for (int i = 0; i < entries(root); ++i) {
    const uint32_t entry = root + 16 + 8 * i;
    if (GetU32(b, entry) == kResourceTypeRcData) layout.rcdataDir = GetU32(b, entry + 4) & 0x7FFFFFFF;
  }
  const uint32_t names = root + layout.rcdataDir;
  for (int i = 0; i < entries(names); ++i) {
    const uint32_t entry = names + 16 + 8 * i;
    const uint32_t name = root + (GetU32(b, entry) & 0x7FFFFFFF);
    std::string ascii;
    for (uint16_t k = 0; k < GetU16(b, name); ++k) ascii += static_cast<char>(b[name + 2 + 2 * k]);
    if (ascii == "TUMBLETRAIN.EXE") layout.mainNameEntry = entry;
  }
  EXPECT_NE(layout.mainNameEntry, 0u);
  return layout;
}

// Writes the three values of the SelfRecord after its checksum is taken over
// the rest of the file: the library then passes its own check.
void StampSelfRecord(std::vector<unsigned char>& b, const LibraryLayout& layout) {
  const uint32_t hole = layout.selfData + kSelfRecordHoleStart;
  const FileChecksum sum = ScanFileChecksum(b.data(), b.size(), true, hole);
  PutU32(b, hole, hole);
  PutU32(b, hole + 4, sum.byteSum);
  PutU32(b, hole + 8, sum.wordXor);
}

// Makes the library's main-program record describe `program`, then restamps.
void RecordProgram(std::vector<unsigned char>& b, const LibraryLayout& layout,
                   const std::vector<unsigned char>& program) {
  char text[kFileRecordLength + 1];
  FormatFileRecord(ScanFileChecksum(program.data(), program.size(), false, 0), text);
  std::memcpy(&b[layout.mainData], text, kFileRecordLength);
  StampSelfRecord(b, layout);
}

// What a row leaves in the install folder.
enum class Files {
  kKept,         // every file, folder and byte exactly as before the run
  kUpdated,      // the update's files in place, nothing else changed or added
};

// What a row's preparation hands to the run.
struct Prepared {
  std::string exe;                // empty: the sample title's updater
  std::string folder;             // the install folder to compare; empty: the fixture's
  std::function<void()> cleanup;  // releases what the row holds (a lock, an attribute)
  std::string skip;               // non-empty: the row cannot be set up here
};

Prepared WithCleanup(std::function<void()> cleanup) {
  Prepared prepared;
  prepared.cleanup = std::move(cleanup);
  return prepared;
}

Prepared WithUpdater(std::string exe) {
  Prepared prepared;
  prepared.exe = std::move(exe);
  return prepared;
}

class BadInput : public EndToEnd {
 public:
  void TearDown() override {
    SetCurrentDirectoryA(startFolder_.c_str());
    EndToEnd::TearDown();
  }

  const ScratchFolder& Folder() const { return install_; }

  void InstallOld() { PrepareInstall(Install::Old); }
  void SettingsNaming(const std::string& folder) {
    WriteSettings("[INSTALL]\r\nInstallFold=" + folder + "\r\n");
  }
  std::vector<unsigned char> OldLibrary() { return ReadBytes(kSample + "\\old\\dll\\RESOURCE.dll"); }
  void InstallLibrary(const std::vector<unsigned char>& bytes) {
    WriteBytes(install_ / "dll\\RESOURCE.dll", bytes);
  }

  // A library whose records still pass after `change`, applied to the sound one.
  void InstallChangedLibrary(
      const std::function<void(std::vector<unsigned char>&, const LibraryLayout&)>& change) {
    std::vector<unsigned char> bytes = OldLibrary();
    const LibraryLayout layout = ReadLayout(bytes);
    change(bytes, layout);
    StampSelfRecord(bytes, layout);
    InstallLibrary(bytes);
  }

  // A main program of the given bytes with a library whose records match it.
  void InstallProgram(const std::vector<unsigned char>& program) {
    WriteBytes(install_ / "TumbleTrain.exe", program);
    std::vector<unsigned char> library = OldLibrary();
    RecordProgram(library, ReadLayout(library), program);
    InstallLibrary(library);
  }

  // The fixture library with a DllMain, its records set to the installed
  // program's when `matching`. It is built for the updater's own architecture
  // (32-bit in the x86 build, like a title's own library), so the updater
  // could load it as a module and run its code.
  void InstallCodeLibrary(bool matching) {
    std::vector<unsigned char> library = ReadBytes(BuildPath(UPDATER_MARKER_DLL));
    ASSERT_FALSE(library.empty());
    if (matching) RecordProgram(library, ReadLayout(library), ReadBytes(install_ / "TumbleTrain.exe"));
    InstallLibrary(library);
  }

  // The info updater copied beside a data folder holding `list`.
  std::string InfoUpdaterWith(const std::string& list) {
    CreateDirectoryA((info_ / "data").c_str(), nullptr);
    EXPECT_TRUE(CopyFileA(kInfoUpdater.c_str(), (info_ / "TumbleTrainUpdate.exe").c_str(), FALSE));
    WriteText(info_ / "data\\UpdateInfo.txt", list);
    WriteText(install_ / "UpdateInfo.txt", kInstalledList);
    return info_ / "TumbleTrainUpdate.exe";
  }

  static constexpr char kInstalledList[] = "patch_0001;first release\r\n";

  ScratchFolder info_{"bad-input-info"};
  std::string startFolder_ = [] {
    char folder[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, folder);
    return std::string(folder);
  }();
};

struct Row {
  const char* name;
  std::function<Prepared(BadInput&)> prepare;
  std::vector<int> answers;
  std::vector<ExpectedBox> boxes;
  DWORD exitCode;
  Files files;
  const char* updateInfo = nullptr;  // the installed list afterwards, when the row has one
  size_t updateInfoSize = 0;
};

ExpectedBox Owned(const char* text) { return {FromCp932(text), {IDOK}, true, true}; }

std::vector<unsigned char> Bytes(size_t size, unsigned char seed) {
  std::vector<unsigned char> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(seed + i * 7);
  return bytes;
}

// Fills drive U: to the last byte; false when it is not the 3 MiB tmpfs the test fixture maps.
bool FillDriveU() {
  if (!IsTestTmpfsDrive("U:\\")) return false;
  HANDLE filler =
      CreateFileA("U:\\filler.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (filler == INVALID_HANDLE_VALUE) return false;
  const std::vector<unsigned char> block(4096, 0xAB);
  DWORD written = 0;
  for (DWORD size = 4096; size != 0; size /= 2) {
    while (WriteFile(filler, block.data(), size, &written, nullptr) && written == size) {
    }
  }
  CloseHandle(filler);
  return true;
}

const std::string kLongFolder = "C:\\" + std::string(297, 'a');  // 300 characters
const std::string kLongEntry(100 * 1024, 'e');
const std::string kLongEntryMerged = kLongEntry + ";\n" + "patch_0001;first release\r\n";

TEST_F(BadInput, Table) {
  const ExpectedBox damaged = Damaged();
  const std::vector<ExpectedBox> updated = {Confirm(), Finished()};
  const std::vector<ExpectedBox> cannotCreate = {Confirm(), Owned(text::kWriteCannotCreate), Cancelled()};
  auto library = [](std::function<void(std::vector<unsigned char>&, const LibraryLayout&)> change) {
    return [change](BadInput& t) {
      t.InstallChangedLibrary(change);
      return Prepared{};
    };
  };
  auto settings = [](std::function<std::string(BadInput&)> folder) {
    return [folder](BadInput& t) {
      t.SettingsNaming(folder(t));
      return Prepared{};
    };
  };

  const Row rows[] = {
      // Settings file.
      {"install folder of 300 characters",
       settings([](BadInput&) { return kLongFolder; }),
       {},
       {damaged},
       2,
       Files::kKept},
      {"UNC install folder",
       settings([](BadInput&) { return std::string("\\\\nohost\\share\\TumbleTrain"); }),
       {},
       {damaged},
       2,
       Files::kKept},
      // Even from a working folder where it names the installation, a relative
      // path is not searched for the library once DLL search is restricted.
      {"relative install folder",
       [](BadInput& t) {
         std::string parent = t.Folder().Path();
         parent.resize(parent.rfind('\\'));
         SetCurrentDirectoryA(parent.c_str());
         t.SettingsNaming("e2e-install");
         return Prepared{};
       },
       {},
       {damaged},
       2,
       Files::kKept},
      {"install folder naming a file",
       settings([](BadInput& t) { return t.Folder() / "TumbleTrain.exe"; }),
       {},
       {damaged},
       2,
       Files::kKept},
      {"install folder not valid Shift-JIS",
       settings([](BadInput& t) { return t.Folder().Path() + "\\\x81\\\x82\xFF\x80\xA0\xFD"; }),
       {},
       {damaged},
       2,
       Files::kKept},
      {"settings path is a folder",
       [](BadInput&) {
         RemoveSettings();
         CreateDirectoryA(SettingsPath().c_str(), nullptr);
         return WithCleanup([] { RemoveDirectoryA(SettingsPath().c_str()); });
       },
       {},
       {Locate()},
       1,
       Files::kKept},

      // Record library.
      {"empty record library",
       [](BadInput& t) {
         t.InstallLibrary({});
         return Prepared{};
       },
       {},
       {damaged},
       2,
       Files::kKept},
      {"record library cut inside its headers",
       [](BadInput& t) {
         std::vector<unsigned char> bytes = t.OldLibrary();
         bytes.resize(GetU32(bytes, 0x3C) + 60);
         t.InstallLibrary(bytes);
         return Prepared{};
       },
       {},
       {damaged},
       2,
       Files::kKept},
      {"main record's data past the end of the library",
       library([](auto& b, const LibraryLayout& l) { PutU32(b, l.mainEntry, 0x7FFFFF00); }),
       {},
       {damaged},
       2,
       Files::kKept},
      {"resource directory that loops back on itself",
       library(
           [](auto& b, const LibraryLayout& l) { PutU32(b, l.mainNameEntry + 4, 0x80000000 | l.rcdataDir); }),
       {},
       {damaged},
       2,
       Files::kKept},
      {"SelfRecord of 260 bytes, the most a record may hold",
       library([](auto& b, const LibraryLayout& l) { PutU32(b, l.selfEntry + 4, 260); }),
       {IDOK, IDOK},
       updated,
       0,
       Files::kUpdated},
      {"SelfRecord of 261 bytes",
       library([](auto& b, const LibraryLayout& l) { PutU32(b, l.selfEntry + 4, 261); }),
       {},
       {damaged},
       2,
       Files::kKept},
      {"SelfRecord of 4 bytes",
       library([](auto& b, const LibraryLayout& l) { PutU32(b, l.selfEntry + 4, 4); }),
       {},
       {damaged},
       2,
       Files::kKept},
      {"library with a DllMain, records not matching",
       [](BadInput& t) {
         t.InstallCodeLibrary(false);
         return Prepared{};
       },
       {},
       {damaged},
       2,
       Files::kKept},
      {"library with a DllMain, records matching",
       [](BadInput& t) {
         t.InstallCodeLibrary(true);
         return Prepared{};
       },
       {IDOK, IDOK},
       updated,
       0,
       Files::kUpdated},

      // Main program.
      {"main program of 0 bytes with a matching record",
       [](BadInput& t) {
         t.InstallProgram({});
         return Prepared{};
       },
       {IDOK, IDOK},
       updated,
       0,
       Files::kUpdated},
      {"main program of 4099 bytes with a matching record",
       [](BadInput& t) {
         t.InstallProgram(Bytes(4099, 0x5A));
         return Prepared{};
       },
       {IDOK, IDOK},
       updated,
       0,
       Files::kUpdated},

      // Targets.
      {"read-only main program",
       [](BadInput& t) {
         const std::string target = t.Folder() / "TumbleTrain.exe";
         SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY);
         return WithCleanup([target] { SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL); });
       },
       {IDOK, IDOK, IDOK},
       cannotCreate,
       0,
       Files::kKept},
      {"hidden record library",
       [](BadInput& t) {
         const std::string target = t.Folder() / "dll\\RESOURCE.dll";
         SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_HIDDEN);
         return WithCleanup([target] { SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL); });
       },
       {IDOK, IDOK, IDOK},
       cannotCreate,
       0,
       Files::kKept},
      {"record library held open by a reader",
       [](BadInput& t) {
         HANDLE held = CreateFileA((t.Folder() / "dll\\RESOURCE.dll").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
         EXPECT_NE(held, INVALID_HANDLE_VALUE);
         return WithCleanup([held] { CloseHandle(held); });
       },
       {IDOK, IDOK, IDOK},
       cannotCreate,
       0,
       Files::kKept},
      {"no dll folder",
       [](BadInput& t) {
         RemoveTree(t.Folder() / "dll");
         return Prepared{};
       },
       {},
       {damaged},
       2,
       Files::kKept},
      {"full drive",
       [](BadInput&) {
         const std::string folder = "U:\\e2e-install";
         Prepared prepared = WithCleanup([folder] {
           RemoveTree(folder);
           DeleteFileA("U:\\filler.bin");
         });
         prepared.folder = folder;
         CreateDirectoryA(folder.c_str(), nullptr);
         CreateDirectoryA((folder + "\\dll").c_str(), nullptr);
         for (const std::string& file : kFiles) {
           CopyFileA((kSample + "\\old\\" + file).c_str(), (folder + "\\" + file).c_str(), FALSE);
         }
         WriteSettings("[INSTALL]\r\nInstallFold=" + folder + "\r\n");
         if (!FillDriveU()) prepared.skip = "drive U: is not the 3 MiB tmpfs of full_drive.sh";
         return prepared;
       },
       {IDOK, IDOK, IDOK},
       {Confirm(), Owned(text::kWriteFailed), Cancelled()},
       0,
       Files::kKept},

      // Update-information list.
      {"list entry of 100 KiB",
       [](BadInput& t) { return WithUpdater(t.InfoUpdaterWith(kLongEntry + ";\r\n")); },
       {IDOK, IDOK},
       updated,
       0,
       Files::kUpdated,
       kLongEntryMerged.c_str(),
       kLongEntryMerged.size()},
      {"list without any ';'",
       [](BadInput& t) { return WithUpdater(t.InfoUpdaterWith("patch_0002\r\nnotes")); },
       {IDOK, IDOK},
       updated,
       0,
       Files::kUpdated,
       "patch_0002\r\nnotes;\nnotes;\npatch_0001;first release\r\n"},
      {"list starting with a zero byte",
       [](BadInput& t) { return WithUpdater(t.InfoUpdaterWith(std::string("\0patch_0002;\r\n", 14))); },
       {IDOK, IDOK},
       updated,
       0,
       Files::kUpdated,
       kInstalledList},
  };

  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PrepareInstall(Install::Old);
    WriteSettingsFor(nullptr);
    DeleteFileA(MarkerPath().c_str());
    Prepared prepared = row.prepare(*this);
    // Released when the row is done, however it ends.
    const AtScopeEnd release(prepared.cleanup);
    const std::string folder = prepared.folder.empty() ? install_.Path() : prepared.folder;
    if (!prepared.skip.empty()) {
      std::printf("skipped row \"%s\": %s\n", row.name, prepared.skip.c_str());
      continue;
    }
    const Tree before = Snapshot(folder);

    UpdaterProcess process(prepared.exe.empty() ? kUpdater : prepared.exe, {});
    for (int answer : row.answers) process.Recorder().QueueAnswers({answer});
    const UpdaterRun run = process.Finish(60000);
    SetCurrentDirectoryA(startFolder_.c_str());

    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, row.exitCode);
    ExpectBoxes(run, row.boxes);
    EXPECT_FALSE(FileExists(MarkerPath())) << "the record library's code ran";

    // Whole files only: each is as it was or as the update writes it, and no
    // temporary is left behind.
    Tree expected = before;
    if (row.files == Files::kUpdated) {
      for (const std::string& file : kFiles) expected[file] = ReadBytes(kSample + "\\new\\" + file);
    }
    if (row.updateInfo) {
      expected["UpdateInfo.txt"].assign(
          row.updateInfo,
          row.updateInfo + (row.updateInfoSize ? row.updateInfoSize : std::strlen(row.updateInfo)));
    }
    ExpectTree(Snapshot(folder), expected);
    if (row.files == Files::kUpdated) {
      EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), "1");
    }
  }
}

}  // namespace
