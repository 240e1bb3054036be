// The update-information merge against real files: which copies it opens, how
// it reports what it cannot open or write, and what it leaves on disk.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/texts.h"
#include "base/update_state.h"
#include "base/win_util.h"
#include "apply/merge_update_info.h"
#include "box_recorder.h"
#include "test_support.h"
#include "title/title_profile.h"

namespace {

constexpr char kListName[] = "UpdateInfo.txt";

std::vector<unsigned char> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// Holds a file open the way another process would; share 0 makes every other
// open of it fail, FILE_SHARE_READ lets reads through but no write.
UniqueFile Hold(const std::string& path, DWORD share, DWORD access = GENERIC_READ) {
  return UniqueFile(CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

class MergeUpdateInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedProfile_ = gTitleProfile;
    profile_ = *gTitleProfile;
    profile_.updateInfoName = kListName;
    gTitleProfile = &profile_;
    ResetUpdateState();

    CreateDirectoryA((scratch_ / "data").c_str(), nullptr);
    CreateDirectoryA((scratch_ / "install").c_str(), nullptr);
    lstrcpynA(gState.dataFolder, (scratch_ / "data").c_str(), MAX_PATH);
    lstrcpynA(gState.installFolder, (scratch_ / "install").c_str(), MAX_PATH);

    // A hidden stand-in for the progress dialog, to check who owns the boxes.
    owner_ = CreateWindowExA(0, "STATIC", "owner", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(owner_, nullptr);
    gState.dialog = owner_;
  }

  void TearDown() override {
    DestroyWindow(owner_);
    gTitleProfile = savedProfile_;
  }

  std::string Update(const std::string& name = kListName) const { return scratch_ / ("data\\" + name); }
  std::string Installed(const std::string& name = kListName) const { return scratch_ / ("install\\" + name); }

  // The text names the configured list, not a path, right after the last "。".
  void ExpectNotFoundBox(const BoxRecord& box) const {
    std::wstring expected = FromCp932(text::kInfoNotFoundFormat);
    expected.replace(expected.find(L"%s"), 2, FromCp932(profile_.updateInfoName));
    EXPECT_EQ(box.text, expected);
    EXPECT_EQ(box.caption, FromCp932(text::kInfoCaption));
    ExpectWarningOwnedByDialog(box);
  }

  void ExpectWriteFailedBox(const BoxRecord& box) const {
    EXPECT_EQ(box.text, FromCp932(text::kInfoWriteFailed));
    EXPECT_EQ(box.caption, FromCp932(gState.caption));
    ExpectWarningOwnedByDialog(box);
  }

  void ExpectWarningOwnedByDialog(const BoxRecord& box) const {
    EXPECT_EQ(box.owner, owner_);
    EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
    EXPECT_TRUE(box.hasIcon);
  }

  const TitleProfile* savedProfile_ = nullptr;
  TitleProfile profile_{};
  ScratchFolder scratch_{"merge-info"};
  HWND owner_ = nullptr;
};

TEST_F(MergeUpdateInfoTest, NothingToMergeOpensNothingAndSucceeds) {
  struct Case {
    const char* what;
    const char* name;
    bool updateCopy;
  };
  const Case cases[] = {
      {"no list configured", "", true},
      {"update carries no copy", kListName, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    profile_.updateInfoName = c.name;
    DeleteFileA(Update().c_str());
    if (c.updateCopy) WriteText(Update(), "NEW;\n");
    WriteText(Installed(), "OLD;\n");
    BoxRecorder boxes;
    {
      // Held without sharing: any open of either copy would fail and be reported.
      UniqueFile heldUpdate = Hold(Update(), 0);
      UniqueFile heldInstalled = Hold(Installed(), 0);
      ASSERT_TRUE(heldInstalled.Valid());
      EXPECT_EQ(MergeUpdateInfo(), 0);
    }
    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_EQ(ReadBytes(Installed()), Bytes("OLD;\n"));
  }
}

TEST_F(MergeUpdateInfoTest, InstalledCopyIsRewrittenWithExactlyTheMergedText) {
  struct Case {
    const char* what;
    std::string installed;
    std::string update;
    std::string merged;
  };
  const Case cases[] = {
      {"mixed line ends", "A;\nB;\n", "B;\r\nE;\r\nA;\r\nF;", "E;\nF;\nA;\nB;\n"},
      // The old file is longer than the merged text: nothing of it may stay behind.
      {"tail after a zero byte", std::string("A;\n\0XYZ;\n", 9), "B;\n", "B;\nA;\n"},
      {"empty update copy", "A;\n", "", "A;\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteText(Installed(), c.installed);
    WriteText(Update(), c.update);
    BoxRecorder boxes;
    EXPECT_EQ(MergeUpdateInfo(), 0);
    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_EQ(ReadBytes(Installed()), Bytes(c.merged));
    EXPECT_EQ(ReadBytes(Update()), Bytes(c.update));
  }
}

// The new copy takes the installed one's place with its attributes (hidden, a
// system file). Its DACL is given over the same way; Wine keeps no DACLs, so
// only the attributes can be seen here.
TEST_F(MergeUpdateInfoTest, RewrittenListKeepsItsAttributes) {
  for (const DWORD attributes :
       {DWORD{FILE_ATTRIBUTE_HIDDEN}, DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM}}) {
    SCOPED_TRACE(attributes);
    WriteText(Installed(), "A;\n");
    WriteText(Update(), "B;\n");
    ASSERT_TRUE(SetFileAttributesA(Installed().c_str(), attributes));
    EXPECT_EQ(MergeUpdateInfo(), 0);
    EXPECT_EQ(ReadBytes(Installed()), Bytes("B;\nA;\n"));
    EXPECT_EQ(GetFileAttributesA(Installed().c_str()) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
              attributes);
    SetFileAttributesA(Installed().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

TEST_F(MergeUpdateInfoTest, NameMayHoldAFolder) {
  profile_.updateInfoName = "info\\list.txt";
  CreateDirectoryA((scratch_ / "data\\info").c_str(), nullptr);
  CreateDirectoryA((scratch_ / "install\\info").c_str(), nullptr);
  WriteText(Update("info\\list.txt"), "X;\n");
  WriteText(Installed("info\\list.txt"), "Y;\n");
  EXPECT_EQ(MergeUpdateInfo(), 0);
  EXPECT_EQ(ReadBytes(Installed("info\\list.txt")), Bytes("X;\nY;\n"));
}

TEST_F(MergeUpdateInfoTest, MissingInstalledCopyIsReportedAndNotCreated) {
  WriteText(Update(), "NEW;\n");
  BoxRecorder boxes;
  EXPECT_EQ(MergeUpdateInfo(), 3);
  const auto shown = boxes.Boxes();
  ASSERT_EQ(shown.size(), 1u);
  ExpectNotFoundBox(shown[0]);
  EXPECT_FALSE(FileExists(Installed()));
}

TEST_F(MergeUpdateInfoTest, CopyThatCannotBeReadIsReported) {
  struct Case {
    const char* what;
    bool holdUpdate;
    DWORD access;
    DWORD share;
    int code;
  };
  const Case cases[] = {
      {"update copy held by another", true, GENERIC_READ, 0, 1},
      {"installed copy held by another", false, GENERIC_READ, 0, 3},
      // A copy is read only while nobody else may write it.
      {"installed copy open for writing elsewhere", false, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteText(Update(), "NEW;\n");
    WriteText(Installed(), "OLD;\n");
    BoxRecorder boxes;
    {
      UniqueFile held = Hold(c.holdUpdate ? Update() : Installed(), c.share, c.access);
      ASSERT_TRUE(held.Valid());
      EXPECT_EQ(MergeUpdateInfo(), c.code);
    }
    const auto shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 1u);
    ExpectNotFoundBox(shown[0]);
    EXPECT_EQ(ReadBytes(Installed()), Bytes("OLD;\n"));
  }
}

TEST_F(MergeUpdateInfoTest, PathThatDoesNotFitIsReportedLikeAnOpenFailure) {
  const std::string tooLong = scratch_.Path() + "\\" + std::string(250, 'x');
  const std::string data = scratch_ / "data";
  const std::string install = scratch_ / "install";
  struct Case {
    const char* what;
    std::string dataFolder;
    std::string installFolder;
    int code;
  };
  const Case cases[] = {
      {"update copy's path", tooLong, install, 1},
      // The updater's own path did not fit, so no data folder could be composed.
      {"no data folder", "", install, 1},
      {"installed copy's path", data, tooLong, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetUpdateState();
    gState.dialog = owner_;
    lstrcpynA(gState.dataFolder, c.dataFolder.c_str(), MAX_PATH);
    lstrcpynA(gState.installFolder, c.installFolder.c_str(), MAX_PATH);
    WriteText(data + "\\" + kListName, "NEW;\n");
    WriteText(Installed(), "OLD;\n");
    BoxRecorder boxes;
    EXPECT_EQ(MergeUpdateInfo(), c.code);
    const auto shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 1u);
    ExpectNotFoundBox(shown[0]);
    EXPECT_EQ(ReadBytes(Installed()), Bytes("OLD;\n"));
  }
}

TEST_F(MergeUpdateInfoTest, InstalledCopyThatCannotBeWrittenIsReportedAndKept) {
  struct Case {
    const char* what;
    bool readOnly;
  };
  const Case cases[] = {
      {"read-only", true},
      // The title running with the list open for reading: it can be read, not written.
      {"held for reading by another", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetFileAttributesA(Installed().c_str(), FILE_ATTRIBUTE_NORMAL);
    WriteText(Update(), "NEW;\n");
    WriteText(Installed(), "OLD;\n");
    if (c.readOnly) SetFileAttributesA(Installed().c_str(), FILE_ATTRIBUTE_READONLY);
    BoxRecorder boxes;
    {
      UniqueFile held = c.readOnly ? UniqueFile() : Hold(Installed(), FILE_SHARE_READ);
      EXPECT_EQ(MergeUpdateInfo(), 6);
    }
    const auto shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 1u);
    ExpectWriteFailedBox(shown[0]);
    EXPECT_EQ(ReadBytes(Installed()), Bytes("OLD;\n"));
    EXPECT_FALSE(FileExists(Installed() + ".upd-new")) << "the staged list was left behind";
  }
}

// On drive T:, a 3 MiB tmpfs (tmpfs_drive.sh): the disk fills up while the
// merged text is written, and the installed list keeps every byte.
class TmpfsDriveMerge : public MergeUpdateInfoTest {};

TEST_F(TmpfsDriveMerge, DiskFullMidwayKeepsTheInstalledList) {
  ULARGE_INTEGER total = {};
  if (!GetDiskFreeSpaceExA("T:\\", nullptr, &total, nullptr) || total.QuadPart != 3u << 20) {
    GTEST_SKIP() << "drive T: is not the 3 MiB tmpfs of tmpfs_drive.sh";
  }
  const std::string install = "T:\\merge";
  CreateDirectoryA(install.c_str(), nullptr);
  lstrcpynA(gState.installFolder, install.c_str(), MAX_PATH);
  const std::string installed = install + "\\" + kListName;
  std::string old;
  for (int i = 0; old.size() < (256u << 10); ++i) old += "entry_" + std::to_string(i) + ";\r\n";
  WriteText(installed, old);
  WriteText(Update(), "NEW;\n");
  // Room for a quarter of the merged text.
  ULARGE_INTEGER available = {};
  GetDiskFreeSpaceExA("T:\\", &available, nullptr, nullptr);
  WriteBytes("T:\\filler.bin", std::vector<unsigned char>(available.QuadPart - (64u << 10), 0x5A));

  BoxRecorder boxes;
  EXPECT_EQ(MergeUpdateInfo(), 6);

  const auto shown = boxes.Boxes();
  ASSERT_EQ(shown.size(), 1u);
  ExpectWriteFailedBox(shown[0]);
  EXPECT_TRUE(ReadBytes(installed) == Bytes(old));
  EXPECT_FALSE(FileExists(installed + ".upd-new")) << "the staged list was left behind";
  RemoveTree(install);
  DeleteFileA("T:\\filler.bin");
}

}  // namespace
