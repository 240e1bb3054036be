// The settings file through the real profile API, in the prefix's AppData.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/update_state.h"
#include "test_support.h"
#include "title/title_profile.h"
#include "title/settings.h"

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetUpdateState(); }
  void TearDown() override { RemoveSettings(); }
};

TEST_F(SettingsTest, LocateReadsInstallFolderFromExistingFile) {
  WriteSettings("[INSTALL]\r\nInstallFold=C:\\Games\\Tumble\r\n");
  EXPECT_EQ(LocateInstallFolder(), 1);
  EXPECT_STREQ(gState.installFolder, "C:\\Games\\Tumble");
  EXPECT_EQ(std::string(gState.appDataFolder), AppDataFolder());
}

TEST_F(SettingsTest, LocateWithoutInstallFolderGivesStar) {
  for (const char* content : {"[INSTALL]\r\nOther=1\r\n", "[UPDATE]\r\nNonActivation=1\r\n", ""}) {
    SCOPED_TRACE(content);
    ResetUpdateState();
    WriteSettings(content);
    EXPECT_EQ(LocateInstallFolder(), 1);
    EXPECT_STREQ(gState.installFolder, "*");
  }
}

TEST_F(SettingsTest, LocateFailsWithoutFileOrWithFolderInItsPlace) {
  RemoveSettings();
  EXPECT_EQ(LocateInstallFolder(), 0);

  CreateDirectoryA(MakerFolder().c_str(), nullptr);
  CreateDirectoryA(SettingsPath().c_str(), nullptr);
  EXPECT_EQ(LocateInstallFolder(), 0);
  EXPECT_STREQ(gState.installFolder, "");
}

TEST_F(SettingsTest, LongInstallFolderIsCutToFitTheBuffer) {
  WriteSettings("[INSTALL]\r\nInstallFold=C:\\" + std::string(300, 'x') + "\r\n");
  EXPECT_EQ(LocateInstallFolder(), 1);
  EXPECT_EQ(std::string(gState.installFolder).size(), 259u);
}

TEST_F(SettingsTest, AppliedVersionIsComparedAsANumber) {
  struct Case {
    const char* settings;
    int applied;
  };
  const Case cases[] = {
      {"[UPDATE]\r\nNonActivation=1\r\n", 1},
      {"[UPDATE]\r\nNonActivation=1.0\r\n", 1},
      {"[UPDATE]\r\nNonActivation=01\r\n", 1},
      {"[UPDATE]\r\nNonActivation=2\r\n", 1},
      {"[UPDATE]\r\nNonActivation=1.00000001\r\n", 1},
      {"[UPDATE]\r\nNonActivation=0.5\r\n", 0},
      {"[UPDATE]\r\nNonActivation=\r\n", 0},
      {"[UPDATE]\r\nNonActivation=abc\r\n", 0},
      {"[UPDATE]\r\nNonActivation=*\r\n", 0},
      {"[UPDATE]\r\nNonActivation=*5\r\n", 0},
      {"[UPDATE]\r\nOther=5\r\n", 0},
      {"[INSTALL]\r\nInstallFold=C:\\x\r\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    ResetUpdateState();
    WriteSettings(c.settings);
    ASSERT_EQ(LocateInstallFolder(), 1);
    EXPECT_EQ(IsUpdateApplied(), c.applied);
  }
}

TEST_F(SettingsTest, RecordAddsTheSectionAndKeepsTheRest) {
  WriteSettings("[INSTALL]\r\nInstallFold=C:\\Games\\Tumble\r\n");
  ASSERT_EQ(LocateInstallFolder(), 1);
  EXPECT_EQ(IsUpdateApplied(), 0);
  EXPECT_EQ(RecordUpdateApplied(), 1);
  EXPECT_EQ(IsUpdateApplied(), 1);

  char value[64] = {};
  GetPrivateProfileStringA("UPDATE", "NonActivation", "", value, sizeof value, SettingsPath().c_str());
  EXPECT_STREQ(value, "1");
  GetPrivateProfileStringA("INSTALL", "InstallFold", "", value, sizeof value, SettingsPath().c_str());
  EXPECT_STREQ(value, "C:\\Games\\Tumble");
}

TEST_F(SettingsTest, RecordReplacesAnOlderValue) {
  WriteSettings("[UPDATE]\r\nNonActivation=0.5\r\n");
  ASSERT_EQ(LocateInstallFolder(), 1);
  RecordUpdateApplied();
  char value[64] = {};
  GetPrivateProfileStringA("UPDATE", "NonActivation", "", value, sizeof value, SettingsPath().c_str());
  EXPECT_STREQ(value, "1");
}

// An AppData folder so long that "<it>\\<maker>\\TumbleTrain.ini" passes
// MAX_PATH. The path cut to fit would name a file in the maker's folder:
// such files, planted with a record of a newer update, are neither read nor
// written, and nothing is added beside them.
TEST_F(SettingsTest, SettingsPathThatDoesNotFitIsNeverUsed) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  // ScratchFolder makes "<temp>ut-<name>": a name that makes the maker's folder
  // in it 251 characters, so that the settings file's name does not fit after it.
  const size_t folderLength = 251 - 1 - std::strlen(gTitleProfile->makerFolder);
  ScratchFolder appData(std::string(folderLength - std::strlen(temp) - 3, 'y'));
  ASSERT_EQ(appData.Path().size(), folderLength);
  const std::string maker = appData / gTitleProfile->makerFolder;
  CreateDirectoryA(maker.c_str(), nullptr);
  const std::string full = maker + "\\TumbleTrain.ini";
  ASSERT_GT(full.size(), MAX_PATH - 1u);
  const std::string planted = "[UPDATE]\r\nNonActivation=5\r\n";
  std::vector<std::string> cuts;
  for (size_t length = maker.size() + 2; length < MAX_PATH; ++length) {
    cuts.push_back(full.substr(0, length));
    WriteText(cuts.back(), planted);
  }
  ASSERT_FALSE(cuts.empty());

  lstrcpynA(gState.appDataFolder, appData.Path().c_str(), MAX_PATH);
  EXPECT_EQ(IsUpdateApplied(), 0);
  EXPECT_EQ(RecordUpdateApplied(), 1);

  for (const std::string& cut : cuts) {
    SCOPED_TRACE(cut.substr(maker.size()));
    EXPECT_EQ(ReadBytes(cut), std::vector<unsigned char>(planted.begin(), planted.end()));
  }
  size_t entries = 0;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((maker + "\\*").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  do {
    if (std::strcmp(found.cFileName, ".") && std::strcmp(found.cFileName, "..")) ++entries;
  } while (FindNextFileA(search, &found));
  FindClose(search);
  EXPECT_EQ(entries, cuts.size()) << "a file was made in the maker's folder";
}

}  // namespace
