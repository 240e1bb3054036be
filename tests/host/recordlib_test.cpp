// recordlib and samplegen, driven in-process through their command functions.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/record_library.h"
#include "tools/resource_name.h"
#include "tools/sample_title.h"
#include "verify/record.h"

namespace fs = std::filesystem;

namespace {

class RecordlibTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("recordlib_test_" + std::to_string(::getpid()) + "_" +
                                        testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  void Write(const fs::path& path, const std::vector<uint8_t>& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), content.size());
  }
  std::vector<uint8_t> Read(const fs::path& path) {
    std::vector<uint8_t> content;
    std::string error;
    EXPECT_TRUE(tools::ReadWholeFile(path.string(), &content, &error)) << error;
    return content;
  }
  int Run(const std::vector<std::string>& args) {
    out_.str(""), err_.str("");
    return tools::RunRecordlib(args, out_, err_);
  }

  fs::path dir_;
  std::ostringstream out_, err_;
};

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(seed + i * 31 + (i >> 7));
  return b;
}

TEST_F(RecordlibTest, BuildThenVerifyAndRejectAOneByteChange) {
  const fs::path install = dir_ / "install", lib = dir_ / "RESOURCE.dll";
  Write(install / "Game.exe", Pattern(5000, 1));
  Write(install / "sub" / "Part.dll", Pattern(777, 2));  // size not a multiple of 4
  Write(install / "Extra.bin", Pattern(64, 3));
  ASSERT_EQ(Run({"build", "--out", lib.string(), "--size", "4096", (install / "Game.exe").string(),
                 (install / "sub" / "Part.dll").string(), (install / "Extra.bin").string()}),
            0)
      << err_.str();
  EXPECT_EQ(fs::file_size(lib), 4096u);

  ASSERT_EQ(Run({"verify", lib.string(), "--install", install.string()}), 0) << out_.str();
  EXPECT_NE(out_.str().find("GAME.EXE (Game.exe)"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("PART.DLL (sub/Part.dll)"), std::string::npos);

  ASSERT_EQ(Run({"list", lib.string()}), 0);
  EXPECT_NE(out_.str().find("RESOURCE.DLL  language 0x0411  32 bytes  self record"), std::string::npos)
      << out_.str();

  // A changed file is named; the other records still pass.
  auto part = Read(install / "sub" / "Part.dll");
  part[100] ^= 0x40;
  Write(install / "sub" / "Part.dll", part);
  EXPECT_EQ(Run({"verify", lib.string(), "--install", install.string()}), 1);
  EXPECT_NE(out_.str().find("PART.DLL (sub/Part.dll)  stated"), std::string::npos);
  EXPECT_NE(out_.str().find("DIFFERS (byte sum and word xor)"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("GAME.EXE (Game.exe)  stated"), std::string::npos);

  // A changed byte of the library itself breaks its self record.
  auto bytes = Read(lib);
  bytes[0x80] ^= 1;
  Write(lib, bytes);
  EXPECT_EQ(Run({"verify", lib.string()}), 1);
  EXPECT_NE(out_.str().find("RESOURCE.DLL  stated"), std::string::npos);
  EXPECT_NE(out_.str().find("DIFFERS (byte sum"), std::string::npos) << out_.str();
}

TEST_F(RecordlibTest, MainProgramMustExist) {
  const fs::path install = dir_ / "install", lib = dir_ / "lib.dll";
  Write(dir_ / "Game.exe", Pattern(100, 1));
  Write(install / "Tool.EXE", Pattern(100, 2));
  Write(install / "sub" / "Game.exe", Pattern(100, 1));
  ASSERT_EQ(
      Run({"build", "--out", lib.string(), (dir_ / "Game.exe").string(), (install / "Tool.EXE").string()}),
      0);
  // Two .EXE records: which one the updater starts is not the library's to say.
  EXPECT_EQ(Run({"verify", lib.string(), "--install", install.string()}), 2);
  EXPECT_NE(err_.str().find("several .EXE records (GAME.EXE, TOOL.EXE); name the main program with --main"),
            std::string::npos)
      << err_.str();
  EXPECT_EQ(Run({"verify", lib.string(), "--install", install.string(), "--main", "tool.exe"}), 0)
      << out_.str();
  // A matching copy in a subfolder is not the main program the updater looks for.
  EXPECT_EQ(Run({"verify", lib.string(), "--install", install.string(), "--main", "Game.exe"}), 1);
  EXPECT_NE(out_.str().find("GAME.EXE  not in the install folder itself: MISSING (main program)"),
            std::string::npos)
      << out_.str();

  // With one .EXE record, that one is the main program, and it must be there.
  const fs::path single = dir_ / "single.dll";
  ASSERT_EQ(Run({"build", "--out", single.string(), (dir_ / "Game.exe").string()}), 0);
  fs::remove_all(install / "sub");
  EXPECT_EQ(Run({"verify", single.string(), "--install", install.string()}), 1);
  EXPECT_NE(out_.str().find("GAME.EXE  not present: MISSING (main program)"), std::string::npos)
      << out_.str();
}

// Text as UTF-8 whatever the execution character set (Shift-JIS here).
std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

TEST(ResourceName, CapitalsForTheLettersShiftJisHoldsAndOnlyUtf8) {
  struct Case {
    std::string name;
    std::u16string units;  // empty with ok false
    bool ok;
  };
  const Case cases[] = {
      {"Game.exe", u"GAME.EXE", true},
      {U8(u8"ｇａｍｅｚ.ｅｘｅ"), u"ＧＡＭＥＺ.ＥＸＥ", true},
      {U8(u8"αβως"), u"ΑΒΩΣ", true},
      {U8(u8"абвяёђџ"), u"АБВЯЁЂЏ", true},
      {U8(u8"ⅰⅹ"), u"ⅠⅩ", true},
      {U8(u8"ゲーム・体験版"), u"ゲーム・体験版", true},
      {U8(u8"é𝒜"), u"é𝒜", true},     // beyond the table, and a pair, kept as they are
      {"\xC0\x80", u"", false},      // a zero in an overlong form
      {"\xED\xA0\x80", u"", false},  // a surrogate
      {"\xE3\x81", u"", false},      // cut short
      {"\x81\x40", u"", false},      // Shift-JIS, not UTF-8
      {std::string("a\0b", 3), u"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::u16string units;
    EXPECT_EQ(tools::ResourceNameUnits(c.name, &units), c.ok);
    if (c.ok) {
      EXPECT_EQ(units, c.units);
      EXPECT_EQ(tools::ResourceNameCapitals(c.name), tools::Utf8OfUnits(c.units));
    }
  }
}

// Japanese file names and small letters beyond ASCII: stored in the capitals
// the updater's lookup uses, listed and verified by their names.
TEST_F(RecordlibTest, NamesBeyondAsciiAreStoredInCapitals) {
  const fs::path install = dir_ / "install", lib = dir_ / "lib.dll";
  const fs::path program = install / U8(u8"ゲームｇａｍｅ.exe"), data = install / U8(u8"δата.bin");
  Write(program, Pattern(300, 1));
  Write(data, Pattern(77, 2));
  ASSERT_EQ(Run({"build", "--out", lib.string(), program.string(), data.string()}), 0) << err_.str();
  ASSERT_EQ(Run({"list", lib.string()}), 0);
  EXPECT_NE(out_.str().find(U8(u8"ゲームＧＡＭＥ.EXE  language")), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find(U8(u8"ΔАТА.BIN  language")), std::string::npos) << out_.str();
  EXPECT_EQ(
      Run({"verify", lib.string(), "--install", install.string(), "--main", U8(u8"ゲームｇａｍｅ.EXE")}), 0)
      << out_.str();
  EXPECT_NE(out_.str().find(U8(u8"ゲームＧＡＭＥ.EXE (ゲームｇａｍｅ.exe)  stated")), std::string::npos)
      << out_.str();

  const fs::path sjis = dir_ / "\x83\x51.exe";  // a Shift-JIS file name is refused, not stored garbled
  Write(sjis, Pattern(10, 3));
  EXPECT_EQ(Run({"build", "--out", (dir_ / "bad.dll").string(), sjis.string()}), 2);
  EXPECT_NE(err_.str().find("is not UTF-8 text"), std::string::npos) << err_.str();
}

TEST_F(RecordlibTest, BadInputFailsWithAMessage) {
  const fs::path lib = dir_ / "lib.dll";
  Write(dir_ / "a.txt", Pattern(100, 1));
  ASSERT_EQ(Run({"build", "--out", lib.string(), (dir_ / "a.txt").string()}), 0);
  auto bytes = Read(lib);
  const fs::path cut = dir_ / "cut.dll";
  Write(cut, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 0x180));
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"list", (dir_ / "missing.dll").string()}, "cannot read"},
      {{"list", cut.string()}, "not a readable record library"},
      {{"verify", (dir_ / "a.txt").string()}, "not a PE image"},
      {{"build", "--out", lib.string(), "--size", "512", (dir_ / "a.txt").string()},
       "more than the requested 512"},
      {{"build", "--out", lib.string(), (dir_ / "RESOURCE.dll").string()}, "cannot read"},
      {{"verify", lib.string(), "--install", (dir_ / "nowhere").string()}, "is not a folder"},
      {{"frobnicate"}, "usage"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.args), 2) << c.args[0];
    EXPECT_NE(err_.str().find(c.message), std::string::npos) << err_.str();
  }
  // A file with the library's own record name is refused, not stored twice.
  Write(dir_ / "resource.dll", Pattern(10, 2));
  EXPECT_EQ(Run({"build", "--out", lib.string(), (dir_ / "resource.dll").string()}), 2);
  EXPECT_NE(err_.str().find("clash"), std::string::npos);
}

TEST(ForceFileChecksumTest, ReachesConsistentTargetsAndRefusesOthers) {
  const FileChecksum targets[] = {{0x00700001, 0x18692FDD}, {100001, 0x00000001}, {0x00800000, 0xFFFFFFFF}};
  for (const auto& target : targets) {
    std::vector<uint8_t> bytes = Pattern(65536, 9);
    ASSERT_TRUE(tools::ForceFileChecksum(&bytes, target)) << std::hex << target.byteSum;
    EXPECT_EQ(ScanFileChecksum(bytes.data(), bytes.size(), false, 0), target);
  }
  // An odd sum needs an odd count of odd low bits in the XOR's bytes.
  std::vector<uint8_t> bytes = Pattern(65536, 9);
  EXPECT_FALSE(tools::ForceFileChecksum(&bytes, FileChecksum{0x00700001, 0x18692FDC}));
}

struct SampleRecord {
  std::string name;
  uint16_t language;
  std::vector<uint8_t> data;
};

TEST(SampleTitleTest, NewAndOldInstallsAreConsistent) {
  for (bool isNew : {true, false}) {
    SCOPED_TRACE(isNew ? "new" : "old");
    std::vector<tools::SampleFile> files;
    std::string error;
    ASSERT_TRUE(tools::MakeSampleInstall(isNew, &files, &error)) << error;
    ASSERT_EQ(files.size(), 8u);
    EXPECT_EQ(files.front().path, "TumbleTrain.exe");
    EXPECT_EQ(files.front().content.size(), isNew ? tools::kNewMainSize : tools::kOldMainSize);
    const FileChecksum main =
        ScanFileChecksum(files.front().content.data(), files.front().content.size(), false, 0);
    if (isNew) {
      EXPECT_EQ(main, tools::kNewMainChecksum);
    }

    const auto& library = files.back();
    EXPECT_EQ(library.path, "dll/RESOURCE.dll");
    ASSERT_EQ(library.content.size(), tools::kSampleLibrarySize);
    std::vector<tools::LibraryRecord> records;
    ASSERT_TRUE(tools::ReadLibraryRecords(library.content, &records, &error)) << error;
    ASSERT_EQ(records.size(), 8u);
    size_t fileRecords = 0;
    for (const auto& r : records) {
      unsigned char buffer[kRecordBufferSize];
      ASSERT_TRUE(CopyRecordToBuffer(r.data.data(), r.data.size(), buffer));
      if (r.name == "RESOURCE.DLL") {
        EXPECT_EQ(r.language, 0x0411);
        EXPECT_EQ(ReadSelfRecord(buffer).holeOffset, r.offset + 4);
        EXPECT_EQ(MatchSelfRecord(buffer, library.content.data(), library.content.size()), 1);
        continue;
      }
      ++fileRecords;
      EXPECT_EQ(r.language, 0);
      EXPECT_EQ(r.data.size(), kFileRecordLength);
      const tools::SampleFile* described = nullptr;
      for (const auto& f : files)
        if (tools::RecordNameForPath(f.path) == r.name) described = &f;
      ASSERT_NE(described, nullptr) << r.name;
      EXPECT_EQ(MatchFileRecord(buffer, described->content.data(), described->content.size()), 1) << r.name;
      if (r.name == "TUMBLETRAIN.EXE" && isNew) {
        EXPECT_EQ(std::string(r.data.begin(), r.data.end()), "01f9e64d18692fdd");
      }
    }
    EXPECT_EQ(fileRecords, 7u);
  }
}

TEST_F(RecordlibTest, SamplegenWritesOnceAndWrestoolAgrees) {
  std::ostringstream out, err;
  ASSERT_EQ(tools::RunSamplegen({"--out", dir_.string()}, out, err), 0) << err.str();
  EXPECT_NE(out.str().find("16 files written"), std::string::npos) << out.str();
  const fs::path lib = dir_ / "new" / "dll" / "RESOURCE.dll";
  const auto stamp = fs::last_write_time(lib);
  out.str("");
  ASSERT_EQ(tools::RunSamplegen({"--out", dir_.string()}, out, err), 0);
  EXPECT_NE(out.str().find(" 0 files written"), std::string::npos) << out.str();
  EXPECT_EQ(fs::last_write_time(lib), stamp);

  for (const char* version : {"new", "old"}) {
    ASSERT_EQ(Run({"verify", (dir_ / version / "dll" / "RESOURCE.dll").string(), "--install",
                   (dir_ / version).string(), "--main", "TumbleTrain.exe"}),
              0)
        << out_.str();
  }
  EXPECT_EQ(Run({"verify", lib.string(), "--install", (dir_ / "old").string(), "--main", "TumbleTrain.exe"}),
            1);
  EXPECT_NE(out_.str().find("TUMBLETRAIN.EXE (TumbleTrain.exe)  stated 01f9e64d 18692fdd"),
            std::string::npos);

  if (!fs::exists("/usr/bin/wrestool")) GTEST_SKIP() << "wrestool (icoutils) not installed";
  std::vector<tools::LibraryRecord> records;
  std::string error;
  ASSERT_TRUE(tools::ReadLibraryRecords(Read(lib), &records, &error)) << error;
  for (const auto& r : records) {
    const fs::path extracted = dir_ / ("x_" + r.name);
    const std::string command = "/usr/bin/wrestool -x --raw --type=10 --name=" + r.name +
                                " --language=" + std::to_string(r.language) + " '" + lib.string() + "' > '" +
                                extracted.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    EXPECT_EQ(Read(extracted), r.data) << r.name;
  }
}

}  // namespace
