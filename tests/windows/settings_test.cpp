// The settings file through the real profile API, in the prefix's AppData.
#include <gtest/gtest.h>

#include <string>

#include "base/update_state.h"
#include "test_support.h"
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

  CreateDirectoryA((AppDataFolder() + "\\KAZETOU").c_str(), nullptr);
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

TEST_F(SettingsTest, SettingsPathThatDoesNotFitIsNeverComposed) {
  // An AppData folder so long that "<it>\KAZETOU\TumbleTrain.ini" passes MAX_PATH.
  const std::string longFolder = "C:\\" + std::string(240, 'y');
  lstrcpynA(gState.appDataFolder, longFolder.c_str(), MAX_PATH);
  EXPECT_EQ(IsUpdateApplied(), 0);
  EXPECT_EQ(RecordUpdateApplied(), 1);
}

}  // namespace
