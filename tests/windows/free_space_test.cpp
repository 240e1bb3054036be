// The free-space check: install folders that name no drive, drives that cannot
// be asked, and a 3 MiB tmpfs mapped as T: (tmpfs_drive.sh) whose free space
// the test sets by filling it.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "base/update_state.h"
#include "apply/payload_writer.h"
#include "box_recorder.h"
#include "test_support.h"

namespace {

void SetInstallFolder(const std::string& folder) {
  lstrcpynA(gState.installFolder, folder.c_str(), MAX_PATH);
}

TEST(FreeSpace, InstallFolderWithoutDriveLetterIsRefused) {
  for (const char* folder : {"\\\\server\\share", "C", "*", "", "C\\Games", "CC:\\Games"}) {
    SCOPED_TRACE(folder);
    ResetUpdateState();
    SetInstallFolder(folder);
    BoxRecorder recorder;
    EXPECT_EQ(CheckFreeSpace(0), 0);
    const auto boxes = recorder.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"インストール先に問題があります。\n " + FromCp932(folder));
    EXPECT_EQ(boxes[0].caption, FromCp932(gState.caption));
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_EQ(boxes[0].buttons, std::vector<int>{IDOK});
    EXPECT_TRUE(boxes[0].hasIcon);
  }
}

TEST(FreeSpace, DriveThatCannotBeAskedLetsTheUpdateGoOn) {
  // Any first byte passes the colon test; a drive that maps nothing then
  // fails the query, and the update goes on without a word.
  char unmapped[] = "Q:";
  for (char letter = 'Q'; letter <= 'Y'; ++letter) {
    unmapped[0] = letter;
    if (GetDriveTypeA((std::string(unmapped) + "\\").c_str()) == DRIVE_NO_ROOT_DIR) break;
  }
  for (const std::string& folder : {std::string(unmapped) + "\\Games\\Tumble", std::string("*:\\Games")}) {
    SCOPED_TRACE(folder);
    ResetUpdateState();
    SetInstallFolder(folder);
    BoxRecorder recorder;
    EXPECT_EQ(CheckFreeSpace(0xFFFFFFFFu), 1);
    EXPECT_TRUE(recorder.Boxes().empty());
  }
}

// The tests below need drive T:, a 3 MiB tmpfs; they skip when it is absent.
class TmpfsDriveFreeSpace : public ::testing::Test {
 protected:
  void SetUp() override {
    ULARGE_INTEGER total = {};
    if (!GetDiskFreeSpaceExA("T:\\", nullptr, &total, nullptr) || total.QuadPart != 3u << 20) {
      GTEST_SKIP() << "drive T: is not the 3 MiB tmpfs of tmpfs_drive.sh";
    }
    ResetUpdateState();
    SetInstallFolder("T:\\Games\\Tumble");
  }
  void TearDown() override { RemoveTree("T:\\filler.bin"); }

  // Leaves `freeBytes` of the volume free.
  static void Fill(uint64_t freeBytes) {
    RemoveTree("T:\\filler.bin");
    ULARGE_INTEGER available = {};
    GetDiskFreeSpaceExA("T:\\", nullptr, nullptr, &available);
    ASSERT_GE(available.QuadPart, freeBytes);
    WriteBytes("T:\\filler.bin", std::vector<unsigned char>(available.QuadPart - freeBytes, 0x5A));
  }
};

TEST_F(TmpfsDriveFreeSpace, ComparesWholeMegabytes) {
  struct Case {
    size_t freeBytes;
    uint32_t grandTotal;
    const wchar_t* shown;  // null: enough room
  };
  const Case cases[] = {
      {2u << 20, 2u << 20, nullptr},  // free equals required
      {2u << 20, (3u << 20) - 1, nullptr},
      {2u << 20, 3u << 20, L"[2 / 3] \n必要容量 : 4"},
      {(2u << 20) + (1u << 19), 3u << 20, L"[2 / 3] \n必要容量 : 4"},  // free space is truncated too
      {1u << 19, (1u << 20) - 1, nullptr},                             // below 2^20 requires nothing
      {1u << 19, 1u << 20, L"[0 / 3] \n必要容量 : 2"},
      {0, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.freeBytes << " free, " << c.grandTotal << " needed");
    Fill(c.freeBytes);
    BoxRecorder recorder;
    EXPECT_EQ(CheckFreeSpace(c.grandTotal), c.shown ? 0 : 1);
    const auto boxes = recorder.Boxes();
    if (!c.shown) {
      EXPECT_TRUE(boxes.empty());
      continue;
    }
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text,
              std::wstring(L"インストール先の容量が足りません。\n確認して下さい。 \nT:\\Games\\Tumble \n") +
                  c.shown);
    EXPECT_EQ(boxes[0].caption, FromCp932(gState.caption));
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_EQ(boxes[0].buttons, std::vector<int>{IDOK});
    EXPECT_TRUE(boxes[0].hasIcon);
  }
}

}  // namespace
