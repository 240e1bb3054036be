#include "tools/payload_list.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

void Put(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string Text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A folder of the running test's own: ctest runs the tests of this file side by side.
struct Releases {
  fs::path root = fs::path(UPDATER_BINARY_DIR) / "payload_list_test" /
                  ::testing::UnitTest::GetInstance()->current_test_info()->name();
  fs::path previous = root / "releases/1.0", next = root / "releases/1.1";
  Releases() {
    fs::remove_all(root);
    // Kept, one in other capitals; changed at the same size, and in size; new;
    // gone from the new release.
    for (const auto& [path, text] : {std::pair{"Game.exe", "program 1"},
                                     {"dll/RESOURCE.dll", "records 1"},
                                     {"Sound/BGM.ogg", "music"},
                                     {"data/a.pak", "kept"},
                                     {"manual.txt", "old manual"}}) {
      Put(previous / path, text);
    }
    for (const auto& [path, text] : {std::pair{"Game.exe", "program 2"},
                                     {"dll/RESOURCE.dll", "records 2, longer"},
                                     {"sound/bgm.OGG", "music"},
                                     {"data/a.pak", "kept"},
                                     {"data/${v}.pak", "new"},
                                     {"Tool.exe", "tool"}}) {
      Put(next / path, text);
    }
  }
  ~Releases() { fs::remove_all(root); }
};

// The files a new release changed or added, sorted, and what only the old
// one has; files are told apart by their bytes, names in any letter case.
TEST(PayloadList, ChangedAndNewFilesOfTheNewRelease) {
  Releases r;
  tools::PayloadList list;
  std::string error;
  ASSERT_TRUE(tools::ListPayload(r.previous.string(), r.next.string(), &list, &error)) << error;
  EXPECT_EQ(list.changed,
            (std::vector<std::string>{"Game.exe", "Tool.exe", "data/${v}.pak", "dll/RESOURCE.dll"}));
  EXPECT_EQ(list.removed, std::vector<std::string>{"manual.txt"});
}

// The README's command, exactly as it shows it, from the folder holding the
// releases: its line loads in CMake as the list of those paths.
TEST(PayloadList, TheReadmeCommand) {
  const std::string readme = Text(fs::path(UPDATER_SOURCE_DIR) / "README.md");
  const std::string command = "payloadtool list releases/1.0 releases/1.1";
  const size_t at = readme.find("\n" + command);
  ASSERT_NE(at, std::string::npos) << "the README no longer shows " << command;
  const std::string line = readme.substr(at + 1, readme.find('\n', at + 1) - at - 1);
  Releases r;
  const fs::path out = r.root / "out.cmake", err = r.root / "err.txt";
  // The line as it stands, comment and all; the redirections follow on their own line.
  const std::string shell = "cd '" + r.root.string() +
                            "' && export PATH='" UPDATER_BINARY_DIR "/bin':\"$PATH\" && {\n" + line +
                            "\n} >'" + out.string() + "' 2>'" + err.string() + "'";
  ASSERT_EQ(std::system(shell.c_str()), 0) << line << "\n" << Text(err);
  EXPECT_EQ(Text(out),
            "set(UPDATER_PAYLOAD \"Game.exe\" \"Tool.exe\" \"data/\\${v}.pak\" \"dll/RESOURCE.dll\")\n");
  EXPECT_NE(Text(err).find("releases/1.0 has manual.txt"), std::string::npos) << Text(err);
  Put(r.root / "show.cmake",
      "include(out.cmake)\nforeach(p IN LISTS UPDATER_PAYLOAD)\nmessage(\"[${p}]\")\nendforeach()\n");
  const std::string load =
      "cd '" + r.root.string() + "' && '" UPDATER_CMAKE_COMMAND "' -P show.cmake 2>'" + err.string() + "'";
  ASSERT_EQ(std::system(load.c_str()), 0);
  EXPECT_EQ(Text(err), "[Game.exe]\n[Tool.exe]\n[data/${v}.pak]\n[dll/RESOURCE.dll]\n");
}

// What a profile cannot carry stops it, naming the files.
TEST(PayloadList, RefusesWhatAProfileCannotCarry) {
  struct Case {
    const char* file;
    const char* message;
  };
  const Case cases[] = {
      {"data/game.EXE", "'Game.exe' and 'data/game.EXE' share the last component"},
      {"a;b.dat", "'a;b.dat' cannot be a payload path"},
      {"what?.dat", "'what?.dat' cannot be a payload path"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Releases r;
    Put(r.next / c.file, "x");
    std::ostringstream out, err;
    EXPECT_EQ(tools::ListPayloadFolders(r.previous.string(), r.next.string(), out, err), 1);
    EXPECT_NE(err.str().find(c.message), std::string::npos) << err.str();
    EXPECT_EQ(out.str(), "");
  }
  Releases r;
  std::ostringstream out, err;
  EXPECT_EQ(tools::ListPayloadFolders((r.root / "missing").string(), r.next.string(), out, err), 1);
  EXPECT_NE(err.str().find("missing is not a folder"), std::string::npos) << err.str();
}

}  // namespace
