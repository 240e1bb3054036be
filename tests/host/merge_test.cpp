#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "apply/merge_core.h"
#include "bench/merge_reference.h"

using namespace std::string_literals;

namespace {

// Exact-size copies with no terminator after them, so a read past the given
// size shows up under the sanitizers.
std::string Merge(int (*merge)(const char*, size_t, const char*, size_t, HeapText&),
                  const std::string& source, const std::string& installed) {
  const std::vector<char> src(source.begin(), source.end());
  const std::vector<char> dst(installed.begin(), installed.end());
  HeapText merged;
  EXPECT_NE(merge(src.data(), src.size(), dst.data(), dst.size(), merged), 0);
  EXPECT_FALSE(merged.Empty());
  if (merged.Empty()) return "<no result>";
  EXPECT_EQ(merged.Bytes()[merged.Length()], '\0');
  return std::string(merged.Bytes(), merged.Length());
}

std::string Fast(const std::string& source, const std::string& installed) {
  return Merge(MergeEntryLists, source, installed);
}

std::string Plain(const std::string& source, const std::string& installed) {
  return Merge(MergeEntryListsPlain, source, installed);
}

TEST(LineLengthTest, CountsUpToAndIncludingTheLineEnd) {
  const struct {
    const char* text;
    size_t expected;
  } cases[] = {
      {"ab\ncd", 3},   {"ab\rcd", 3}, {"ab\r\ncd", 4}, {"abc", 3},  {"", 0},
      {"\r", 1},       {"\r\n", 2},   {"\n\n", 1},     {"\r\r\n", 1}, {"a\n\r\n", 2},
  };
  for (const auto& c : cases) {
    // Exactly the bytes of the text and its terminator, nothing after.
    std::vector<char> exact(c.text, c.text + strlen(c.text) + 1);
    EXPECT_EQ(LineLength(exact.data()), c.expected) << testing::PrintToString(std::string(c.text));
  }
}

TEST(MergeEntryListsTest, Examples) {
  const struct {
    std::string source, installed, expected;
  } cases[] = {
      // New entries first in source order, each ended by ";\n" whatever the source's line ends.
      {"B;\r\nE;\r\nA;\r\nF;", "A;\nB;\n", "E;\nF;\nA;\nB;\n"},
      {"A;\rB;\r", "", "A;\nB;\n"},
      // Present anywhere counts, also inside a longer entry or over a line end.
      {"patch1;\n", "patch10;\n", "patch10;\n"},
      {"A\nB;\n", "xA\nB;\n", "xA\nB;\n"},
      // Leading ";" is the empty entry, never added; text after ";" ignored.
      {";\n;junk\nA;\n", "", "A;\n"},
      {"X;comment\n", "", "X;\n"},
      {"X;comment\n", "X;", "X;"},
      // Listed twice and missing: added twice.
      {"Z;\nZ;\n", "A;\n", "Z;\nZ;\nA;\n"},
      // An entry runs over line ends; the lines it crossed give their own entries.
      {"A\nB;\n", "", "A\nB;\nB;\n"},
      {"A\r\nB;", "", "A\r\nB;\nB;\n"},
      {"\nA;\n", "", "\nA;\nA;\n"},
      {"ab\ncd", "", "ab\ncd;\ncd;\n"},
      // Last line without a line end has its entry; a final line end adds none.
      {"A;\nB", "", "A;\nB;\n"},
      {"A;\n", "", "A;\n"},
      // Empty source or one that starts with a zero byte adds nothing.
      {"", "A;\n", "A;\n"},
      {"\0A;\n"s, "B;\n", "B;\n"},
      {"", "", ""},
      // Nothing after a zero byte is looked at, in either text.
      {"A\0;\n"s, "", "A;\n"},
      {"Q;\n", "A;\n\0Q;\n"s, "Q;\nA;\n"},
  };
  for (const auto& c : cases) {
    const std::string label = testing::PrintToString(c.source) + " into " + testing::PrintToString(c.installed);
    EXPECT_EQ(Fast(c.source, c.installed), c.expected) << label;
    EXPECT_EQ(Plain(c.source, c.installed), c.expected) << label;
  }
}

TEST(MergeEntryListsTest, LongEntriesAreHeldWhole) {
  for (size_t length : {1023u, 1024u, 5000u}) {
    std::string entry(length, 'x');
    entry[length / 2] = 'y';
    const std::string installed = "A;\n";
    EXPECT_EQ(Fast(entry + ";\n", installed), entry + ";\n" + installed) << length;
    EXPECT_EQ(Fast(entry + ";\n", "pre" + entry + "post;\n"), "pre" + entry + "post;\n") << length;
    // Only a prefix present: still missing.
    EXPECT_EQ(Fast(entry + ";\n", entry.substr(0, length - 1)), entry + ";\n" + entry.substr(0, length - 1));
  }
}

// Random texts over a tiny alphabet hit the corner cases (runs over line ends,
// CR LF pairs, repeated and nested entries) far more often than real lists.
TEST(MergeEntryListsTest, MatchesThePlainSearchOnRandomTexts) {
  const struct {
    std::string alphabet;
    size_t maxSource, maxInstalled;
    int rounds;
  } shapes[] = {
      {"ab;\n\r", 24, 40, 20000},
      {"ab;\n\r\0"s, 24, 40, 5000},
      {"aab;\n", 200, 400, 3000},
      {"aaaaaaab;\n", 2000, 3000, 300},
      {"a\n", 300, 600, 300},  // no ";" at all: every entry runs to the end
  };
  for (const auto& shape : shapes) {
    const std::string& alphabet = shape.alphabet;
    for (int seed = 0; seed < shape.rounds; ++seed) {
      std::mt19937 random(seed);
      auto text = [&](size_t maxLength) {
        std::string s(random() % (maxLength + 1), ' ');
        for (char& c : s) c = alphabet[random() % alphabet.size()];
        return s;
      };
      const std::string installed = text(shape.maxInstalled);
      // Half the time the source borrows pieces of the installed text, so
      // that long entries are found as well as missed.
      std::string source = text(shape.maxSource);
      if (seed % 2 && !installed.empty()) {
        const size_t from = random() % installed.size();
        source.insert(random() % (source.size() + 1), installed.substr(from, random() % 50));
      }
      ASSERT_EQ(Fast(source, installed), Plain(source, installed))
          << testing::PrintToString(alphabet) << " seed " << seed << ": " << testing::PrintToString(source) << " into "
          << testing::PrintToString(installed);
    }
  }
}

}  // namespace
