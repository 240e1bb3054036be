// The command line a launcher passes, word by word.
#include "base/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
  std::vector<const wchar_t*> words;
  bool understood;
  bool silent;
  bool force;
  const wchar_t* logPath;  // null: none given
  const wchar_t* unknown;  // null: none
};

TEST(CommandLine, Table) {
  const Case cases[] = {
      {{}, true, false, false, nullptr, nullptr},
      {{L"/S"}, true, true, false, nullptr, nullptr},
      {{L"/s"}, true, true, false, nullptr, nullptr},
      {{L"/silent"}, true, true, false, nullptr, nullptr},
      {{L"/SILENT", L"/Force"}, true, true, true, nullptr, nullptr},
      {{L"/force"}, true, false, true, nullptr, nullptr},
      {{L"/S", L"/log=C:\\Logs\\update.log"}, true, true, false, L"C:\\Logs\\update.log", nullptr},
      // CommandLineToArgvW takes the quotes off a path with spaces.
      {{L"/LOG=C:\\My Logs\\u.log"}, true, false, false, L"C:\\My Logs\\u.log", nullptr},
      {{L"/log=a.log", L"/log=b.log"}, true, false, false, L"b.log", nullptr},
      {{L"/log="}, false, false, false, nullptr, L"/log="},
      {{L"/log"}, false, false, false, nullptr, L"/log"},
      {{L"/logfile=x"}, false, false, false, nullptr, L"/logfile=x"},
      {{L"/S", L"/quiet"}, false, true, false, nullptr, L"/quiet"},
      // A switch after the unknown word still counts: a silent run stays silent.
      {{L"/bogus", L"/S", L"/x"}, false, true, false, nullptr, L"/bogus"},
      {{L"-S"}, false, false, false, nullptr, L"-S"},
      {{L"S"}, false, false, false, nullptr, L"S"},
      {{L"/Sx"}, false, false, false, nullptr, L"/Sx"},
      {{L""}, false, false, false, nullptr, L""},
  };
  for (const Case& c : cases) {
    std::wstring joined;
    for (const wchar_t* word : c.words) joined += std::wstring(word) + L" ";
    SCOPED_TRACE(std::string(joined.begin(), joined.end()));
    CommandLine line;
    EXPECT_EQ(ReadCommandLine(static_cast<int>(c.words.size()), c.words.data(), &line), c.understood);
    EXPECT_EQ(line.silent, c.silent);
    EXPECT_EQ(line.force, c.force);
    EXPECT_EQ(line.logPath ? std::wstring(line.logPath) : L"(none)", c.logPath ? c.logPath : L"(none)");
    EXPECT_EQ(line.unknown ? std::wstring(line.unknown) : L"(none)", c.unknown ? c.unknown : L"(none)");
  }
}

}  // namespace
