// The installation check on real files: the sample installations, damaged
// copies of them, and a record library that carries code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"
#include "title/title_profile.h"
#include "verify/checksum.h"
#include "verify/install_check.h"
#include "verify/record.h"

namespace {

const std::string kSample = BuildPath(UPDATER_SAMPLE_DIR);

class InstallCheckTest : public ::testing::Test {
 protected:
  // Copies a sample installation ("old" or "new") into the scratch folder.
  void Install(const char* variant) {
    CreateDirectoryA((folder_ / "dll").c_str(), nullptr);
    for (const char* file : {"TumbleTrain.exe", "dll\\RESOURCE.dll"}) {
      ASSERT_TRUE(CopyFileA((kSample + "\\" + variant + "\\" + file).c_str(), (folder_ / file).c_str(), FALSE));
    }
  }
  std::string Library() const { return folder_ / "dll\\RESOURCE.dll"; }
  std::string Program() const { return folder_ / "TumbleTrain.exe"; }
  int Check() const { return CheckInstallation(folder_.Path().c_str()); }

  ScratchFolder folder_{"install-check"};
};

// Offset of the self record's data in a library: where its marker "/**/" is.
size_t SelfRecordOffset(const std::vector<unsigned char>& library) {
  const char marker[] = "/**/";
  auto at = std::search(library.begin(), library.end(), marker, marker + 4);
  return static_cast<size_t>(at - library.begin());
}

// Writes the self record's three values for the library as it now is, so that
// its own check passes whatever else was changed.
void StampSelfRecord(std::vector<unsigned char>& library, size_t self) {
  const uint32_t hole = static_cast<uint32_t>(self) + kSelfRecordHoleStart;
  const FileChecksum sum = ScanFileChecksum(library.data(), library.size(), true, hole);
  const uint32_t values[3] = {hole, sum.byteSum, sum.wordXor};
  std::memcpy(&library[hole], values, sizeof values);  // little-endian, as stored
}

TEST_F(InstallCheckTest, SampleInstallationsPass) {
  for (const char* variant : {"old", "new"}) {
    SCOPED_TRACE(variant);
    Install(variant);
    EXPECT_EQ(CheckRecordLibrary(Library().c_str()), 1);
    EXPECT_EQ(Check(), 1);
  }
}

// Every changed byte fails the check, and so does a change that leaves one of
// the two values as it was: both must match.
TEST_F(InstallCheckTest, ChangedBytesFailTheCheck) {
  Install("new");
  const std::vector<unsigned char> library = ReadBytes(Library());
  const size_t self = SelfRecordOffset(library);
  ASSERT_LT(self + 32, library.size());
  enum class Change { kOneByte, kSameByteSum, kSameWordXor };
  struct Case {
    const char* what;
    bool inLibrary;
    size_t offset;
    Change change;
  };
  const Case cases[] = {
      {"library header", true, 2, Change::kOneByte},
      {"library marker", true, self + 1, Change::kOneByte},
      {"library reserved bytes", true, self + 20, Change::kOneByte},
      {"library last byte", true, library.size() - 1, Change::kOneByte},
      {"main program first byte", false, 0, Change::kOneByte},
      {"main program middle", false, 100001, Change::kOneByte},
      {"main program, two bytes swapped", false, 100001, Change::kSameByteSum},
      {"main program, one bit set in two words", false, 100001, Change::kSameWordXor},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = c.inLibrary ? Library() : Program();
    const std::vector<unsigned char> original = ReadBytes(path);
    std::vector<unsigned char> changed = original;
    size_t at = c.offset;
    switch (c.change) {
      case Change::kOneByte:
        changed[at] ^= 0x40;
        break;
      case Change::kSameByteSum:  // neighbours that differ sit at different places in the word
        while (changed[at] == changed[at + 1]) ++at;
        std::swap(changed[at], changed[at + 1]);
        break;
      case Change::kSameWordXor:  // the same bit of two words flips the same way
        while ((changed[at] & 0x40) != (changed[at + 4] & 0x40)) ++at;
        changed[at] ^= 0x40;
        changed[at + 4] ^= 0x40;
        break;
    }
    const FileChecksum before = ScanFileChecksum(original.data(), original.size(), false, 0);
    const FileChecksum after = ScanFileChecksum(changed.data(), changed.size(), false, 0);
    if (c.change == Change::kSameByteSum) {
      EXPECT_EQ(after.byteSum, before.byteSum);
    }
    if (c.change == Change::kSameWordXor) {
      EXPECT_EQ(after.wordXor, before.wordXor);
    }
    WriteBytes(path, changed);
    EXPECT_EQ(Check(), 0);
    WriteBytes(path, original);
    EXPECT_EQ(Check(), 1);
  }
}

// The library with the record `name` spelt otherwise ('X' for its first
// letter), restamped so that only the missing name can fail it.
std::vector<unsigned char> WithoutRecord(std::vector<unsigned char> library, const std::u16string& name) {
  auto at = std::search(library.begin(), library.end(), reinterpret_cast<const unsigned char*>(name.data()),
                        reinterpret_cast<const unsigned char*>(name.data() + name.size()));
  EXPECT_NE(at, library.end()) << "no record name to change";
  if (at != library.end()) *at = 'X';
  StampSelfRecord(library, SelfRecordOffset(library));
  return library;
}

TEST_F(InstallCheckTest, MissingPiecesFailTheCheck) {
  Install("new");
  const std::vector<unsigned char> original = ReadBytes(Library());
  // The stamp alone keeps the library whole.
  std::vector<unsigned char> restamped = original;
  StampSelfRecord(restamped, SelfRecordOffset(restamped));
  WriteBytes(Library(), restamped);
  EXPECT_EQ(Check(), 1);
  for (const std::u16string& name : {std::u16string(u"RESOURCE.DLL"), std::u16string(u"TUMBLETRAIN.EXE")}) {
    WriteBytes(Library(), WithoutRecord(original, name));
    EXPECT_EQ(Check(), 0);
  }
  WriteBytes(Library(), original);

  ASSERT_TRUE(DeleteFileA(Program().c_str()));
  EXPECT_EQ(Check(), 0);
  Install("new");
  ASSERT_TRUE(DeleteFileA(Library().c_str()));
  EXPECT_EQ(Check(), 0);

  EXPECT_EQ(CheckInstallation("*"), 0);
  EXPECT_EQ(CheckInstallation(("C:\\" + std::string(250, 'x')).c_str()), 0);
}

// recordlib stores a Japanese name in the capitals the lookup gives it, full-
// width letters included, so the check finds the program as the profile names it.
TEST_F(InstallCheckTest, JapaneseProgramNameIsFoundByItsRecord) {
  const std::string from = BuildPath(UPDATER_WIDE_INSTALL_DIR);
  const std::string program = "ゲームｇａｍｅ.exe";  // Shift-JIS here, as the profile's name is
  CreateDirectoryA((folder_ / "dll").c_str(), nullptr);
  ASSERT_TRUE(CopyFileA((from + "\\" + program).c_str(), (folder_ / program).c_str(), FALSE));
  ASSERT_TRUE(CopyFileA((from + "\\dll\\RESOURCE.dll").c_str(), Library().c_str(), FALSE));
  TitleProfile profile = *gTitleProfile;
  profile.baseName = "ゲームｇａｍｅ";
  gTitleProfile = &profile;
  EXPECT_EQ(Check(), 1);
  WriteBytes(folder_ / program, {'x'});
  EXPECT_EQ(Check(), 0);
  gTitleProfile = &kTitleProfile;
}

// Whether nothing holds the file: an open without any sharing succeeds. A
// library left loaded (even as a data file) or a handle left open refuses it.
bool NothingHolds(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

// Passing or failing at any step, the check leaves no library loaded and no
// file open.
TEST_F(InstallCheckTest, LeavesNothingOpenOnEveryPath) {
  Install("new");
  const std::vector<unsigned char> library = ReadBytes(Library());
  const std::vector<unsigned char> program = ReadBytes(Program());
  std::vector<unsigned char> changedLibrary = library;
  changedLibrary[2] ^= 0x40;
  std::vector<unsigned char> changedProgram = program;
  changedProgram[100] ^= 0x40;
  struct Case {
    const char* what;
    std::vector<unsigned char> library;
    std::vector<unsigned char> program;  // empty: no main program
    int result;
  };
  const Case cases[] = {
      {"passes", library, program, 1},
      {"library loaded, its own record missing", WithoutRecord(library, u"RESOURCE.DLL"), program, 0},
      {"library loaded, the main program's record missing", WithoutRecord(library, u"TUMBLETRAIN.EXE"),
       program, 0},
      {"library not matching its own record", changedLibrary, program, 0},
      {"main program missing", library, {}, 0},
      {"main program not matching its record", library, changedProgram, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteBytes(Library(), c.library);
    DeleteFileA(Program().c_str());
    if (!c.program.empty()) WriteBytes(Program(), c.program);
    EXPECT_EQ(Check(), c.result);
    EXPECT_TRUE(NothingHolds(Library()));
    if (!c.program.empty()) {
      EXPECT_TRUE(NothingHolds(Program()));
    }
  }
}

TEST_F(InstallCheckTest, TitleRunningStillPasses) {
  // A running title's program can be read but not written: the check reads only.
  Install("new");
  HANDLE running = CreateFileA(Program().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(running, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Check(), 1);
  CloseHandle(running);
}

TEST_F(InstallCheckTest, LibraryCodeNeverRuns) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const std::string marker = std::string(temp) + "record-library-code-ran.txt";
  DeleteFileA(marker.c_str());
  const std::string fixture = BuildPath(UPDATER_MARKER_DLL);

  Install("new");
  ASSERT_TRUE(CopyFileA(fixture.c_str(), Library().c_str(), FALSE));
  EXPECT_EQ(Check(), 0);
  EXPECT_FALSE(FileExists(marker)) << "the record library's code ran during the check";

  // The fixture does what it says when loaded as a module.
  HMODULE loaded = LoadLibraryA(fixture.c_str());
  ASSERT_NE(loaded, nullptr);
  FreeLibrary(loaded);
  EXPECT_TRUE(FileExists(marker));
  DeleteFileA(marker.c_str());
}

}  // namespace
