// The ground the other Windows-side tests stand on: the Japanese ANSI code
// page, the prefix's architecture, and the box recorder answering and reading
// real message boxes.
#include <gtest/gtest.h>

#include "base/texts.h"
#include "base/win_util.h"
#include "box_recorder.h"

namespace {

TEST(Environment, AnsiCodePageIsJapanese) { EXPECT_EQ(GetACP(), 932u); }

// Both builds run in one 64-bit prefix: the x86 one under WoW64, as its exe
// runs on 64-bit Windows.
TEST(Environment, X86BuildRunsUnderWow64) {
  BOOL wow64 = FALSE;
  ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
  EXPECT_EQ(wow64 != FALSE, sizeof(void*) == 4);
}

TEST(BoxRecorder, AnswersAndRecordsBoxesInProcess) {
  BoxRecorder recorder;
  recorder.QueueAnswers({IDNO});
  EXPECT_EQ(ShowMessage(nullptr, text::kAlreadyApplied, "caption", MB_YESNO | MB_ICONQUESTION), IDNO);
  EXPECT_EQ(ShowMessage(nullptr, text::kUpdateFinished, "second", MB_OK), IDOK);

  const auto boxes = recorder.Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].caption, L"caption");
  EXPECT_EQ(boxes[0].text, FromCp932(text::kAlreadyApplied));
  EXPECT_EQ(boxes[0].buttons, (std::vector<int>{IDYES, IDNO}));
  EXPECT_TRUE(boxes[0].hasIcon);
  EXPECT_EQ(boxes[0].owner, nullptr);
  EXPECT_EQ(boxes[1].text, L"アップデートが終了しました。");
  EXPECT_EQ(boxes[1].buttons, (std::vector<int>{IDOK}));
  EXPECT_FALSE(boxes[1].hasIcon);
}

TEST(Text, FormatNeverRunsPastItsBuffer) {
  char small[8];
  EXPECT_EQ(FormatText(small, "%s", "1234567"), 7);
  EXPECT_STREQ(small, "1234567");
  EXPECT_EQ(FormatText(small, "%s", "12345678"), -1);
  EXPECT_STREQ(small, "");

  char path[MAX_PATH];
  const std::string folder(200, 'a');
  EXPECT_EQ(JoinPath(path, folder.c_str(), std::string(58, 'b').c_str()), 1);
  EXPECT_EQ(JoinPath(path, folder.c_str(), std::string(59, 'b').c_str()), 0);
  EXPECT_STREQ(path, "");
}

}  // namespace
