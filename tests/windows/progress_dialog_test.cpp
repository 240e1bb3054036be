// The progress dialog: its template as the module carries it, and its
// procedure driven in process.
#include "app/progress_dialog.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/texts.h"
#include "base/update_state.h"
#include "box_recorder.h"
#include "test_support.h"
#include "title/settings.h"
#include "title/title_profile.h"

namespace {

// Reads the extended dialog template field by field.
class TemplateReader {
 public:
  explicit TemplateReader(const unsigned char* bytes) : start_(bytes), at_(bytes) {}
  uint16_t Word() {
    uint16_t v;
    std::memcpy(&v, at_, 2);
    at_ += 2;
    return v;
  }
  uint32_t Dword() {
    uint32_t v;
    std::memcpy(&v, at_, 4);
    at_ += 4;
    return v;
  }
  std::wstring String() {
    std::wstring s;
    for (uint16_t c = Word(); c != 0; c = Word()) s.push_back(static_cast<wchar_t>(c));
    return s;
  }
  // A class or title: a string, or 0xFFFF and an ordinal (returned as "#<n>").
  std::wstring NameOrOrdinal() {
    uint16_t first;
    std::memcpy(&first, at_, 2);
    if (first == 0xFFFF) {
      Word();
      return L"#" + std::to_wstring(Word());
    }
    return String();
  }
  void AlignDword() {
    while ((at_ - start_) % 4) ++at_;
  }

 private:
  const unsigned char* start_;
  const unsigned char* at_;
};

// The Japanese template and its English twin: the same dialog and controls,
// each with its own font and status text.
TEST(ProgressDialogTemplate, HoldsExactlyTheDialogAndItsThreeControlsInBothLanguages) {
  struct Language {
    WORD id;
    uint16_t pointSize;
    std::wstring font;
    std::wstring status;
  };
  const Language languages[] = {
      {0x0411, 9, L"ＭＳ Ｐゴシック", L"アップデートを行っています。"},
      {0x0409, 8, L"MS Shell Dlg", L"Updating, please wait..."},
  };
  for (const Language& language : languages) {
    SCOPED_TRACE(language.id);
    HRSRC found = FindResourceExW(nullptr, MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(102), language.id);
    ASSERT_NE(found, nullptr);
    TemplateReader t(static_cast<const unsigned char*>(LockResource(LoadResource(nullptr, found))));
    EXPECT_EQ(t.Word(), 1);       // version
    EXPECT_EQ(t.Word(), 0xFFFF);  // extended signature
    EXPECT_EQ(t.Dword(), 0u);     // help id
    EXPECT_EQ(t.Dword(), 0u);     // extended style
    EXPECT_EQ(t.Dword(), 0x80C808C0u);
    EXPECT_EQ(t.Word(), 3);  // controls
    EXPECT_EQ(t.Word(), 0);
    EXPECT_EQ(t.Word(), 0);
    EXPECT_EQ(t.Word(), 187);
    EXPECT_EQ(t.Word(), 55);
    EXPECT_EQ(t.NameOrOrdinal(), L"");  // no menu
    EXPECT_EQ(t.NameOrOrdinal(), L"");  // default class
    EXPECT_EQ(t.String(), L"Update Program");
    EXPECT_EQ(t.Word(), language.pointSize);
    EXPECT_EQ(t.Word(), 0);  // weight
    EXPECT_EQ(t.Word(), 0);  // italic, character set
    EXPECT_EQ(t.String(), language.font);

    struct Control {
      uint32_t style;
      uint16_t x, y, cx, cy;
      uint32_t id;
      std::wstring cls, text;
    };
    const Control controls[] = {
        {0x50800001, 8, 16, 172, 15, 1008, L"msctls_progress32", L""},
        {0x50020000, 10, 4, 162, 8, 1010, L"#130", language.status},
        {0x50020002, 150, 33, 28, 9, 1009, L"#130", L""},
    };
    for (const Control& c : controls) {
      SCOPED_TRACE(c.id);
      t.AlignDword();
      EXPECT_EQ(t.Dword(), 0u);  // help id
      EXPECT_EQ(t.Dword(), 0u);  // extended style
      EXPECT_EQ(t.Dword(), c.style);
      EXPECT_EQ(t.Word(), c.x);
      EXPECT_EQ(t.Word(), c.y);
      EXPECT_EQ(t.Word(), c.cx);
      EXPECT_EQ(t.Word(), c.cy);
      EXPECT_EQ(t.Dword(), c.id);
      EXPECT_EQ(t.NameOrOrdinal(), c.cls);
      EXPECT_EQ(t.NameOrOrdinal(), c.text);
      EXPECT_EQ(t.Word(), 0);  // no creation data
    }
  }
}

// The size `text` takes in `control`'s own font, on one line or wrapped to its width.
SIZE TextExtent(HWND control, const std::wstring& text, bool wrap) {
  RECT client;
  GetClientRect(control, &client);
  RECT needed = {0, 0, wrap ? client.right : 0, 0};
  HDC dc = GetDC(control);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
  DrawTextW(dc, text.c_str(), -1, &needed, DT_CALCRECT | DT_NOPREFIX | (wrap ? DT_WORDBREAK : DT_SINGLELINE));
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return {needed.right - needed.left, needed.bottom - needed.top};
}

// The system lays the dialog out at the display's DPI from its template; each
// text must then fit its control whole, in each language. scripts/test runs
// this at 96 DPI with the rest and once more alone at 144 (tests/windows,
// at_dpi.sh), where UPDATER_EXPECT_DPI says which DPI it must see.
TEST(ProgressDialogLayout, EveryTextFitsItsControl) {
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  char expected[16] = {};
  if (GetEnvironmentVariableA("UPDATER_EXPECT_DPI", expected, sizeof expected)) {
    ASSERT_EQ(dpi, std::atoi(expected)) << "the display is not at the DPI this run is for";
  }
  std::printf("display at %d DPI\n", dpi);
  RegisterProgressBarClass();
  ResetUpdateState();
  for (text::Language language : {text::Language::kJapanese, text::Language::kEnglish}) {
    const InLanguage in(language);
    SCOPED_TRACE(language == text::Language::kEnglish ? "English" : "Japanese");
    HWND dialog = CreateProgressDialog(GetModuleHandleW(nullptr));
    ASSERT_NE(dialog, nullptr);
    RECT client;
    GetClientRect(dialog, &client);

    struct Item {
      int id;
      std::wstring text;  // what it shows at its widest
      bool wrap;
    };
    wchar_t status[256] = {};
    GetDlgItemTextW(dialog, IDC_STATUS_TEXT, status, 256);
    const Item items[] = {{IDC_STATUS_TEXT, status, true}, {IDC_PERCENT_TEXT, L"100%", false}};
    for (const Item& item : items) {
      SCOPED_TRACE(item.id);
      HWND control = GetDlgItem(dialog, item.id);
      ASSERT_NE(control, nullptr);
      RECT box;
      GetClientRect(control, &box);
      const SIZE needed = TextExtent(control, item.text, item.wrap);
      EXPECT_LE(needed.cx, box.right)
          << "\"" << std::string(item.text.begin(), item.text.end()) << "\" is cut";
      EXPECT_LE(needed.cy, box.bottom) << "the text needs more lines than its control has";
      // The control lies whole inside the dialog.
      RECT inDialog;
      GetWindowRect(control, &inDialog);
      MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&inDialog), 2);
      EXPECT_GE(inDialog.left, 0);
      EXPECT_GE(inDialog.top, 0);
      EXPECT_LE(inDialog.right, client.right);
      EXPECT_LE(inDialog.bottom, client.bottom);
    }
    // The status text is the template's own, in the chosen language.
    EXPECT_EQ(std::wstring(status), language == text::Language::kEnglish ? L"Updating, please wait..."
                                                                         : L"アップデートを行っています。");
    DestroyWindow(dialog);
  }
}

const char* const kNoPayload[] = {nullptr};

class ProgressDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetUpdateState();
    profile_ = *gTitleProfile;
    profile_.payloadList = kNoPayload;
    gTitleProfile = &profile_;
    RegisterProgressBarClass();
    WriteSettings("[INSTALL]\r\nInstallFold=" + install_.Path() + "\r\n");
    ASSERT_EQ(LocateInstallFolder(), 1);
    lstrcpyA(gState.updaterFolder, install_.Path().c_str());
    dialog_ =
        CreateDialogParamW(gState.instance, MAKEINTRESOURCEW(IDD_PROGRESS), nullptr, ProgressDialogProc, 0);
    ASSERT_NE(dialog_, nullptr);
  }
  void TearDown() override {
    if (IsWindow(dialog_)) DestroyWindow(dialog_);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    gTitleProfile = &kTitleProfile;
    RemoveSettings();
  }
  bool QuitPosted() {
    MSG msg;
    return PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
  }
  std::string Record() {
    char value[64] = {};
    GetPrivateProfileStringA("UPDATE", "NonActivation", "(none)", value, sizeof value,
                             SettingsPath().c_str());
    return value;
  }

  TitleProfile profile_{};
  ScratchFolder install_{"progress-dialog"};
  HWND dialog_ = nullptr;
};

TEST_F(ProgressDialogTest, StartsWithCaptionEmptyBarNoIconAndNoClose) {
  wchar_t title[256] = {};
  GetWindowTextW(dialog_, title, 256);
  EXPECT_EQ(std::wstring(title), FromCp932(gState.caption));
  EXPECT_FALSE(IsWindowVisible(dialog_));
  EXPECT_EQ(SendDlgItemMessageA(dialog_, IDC_PROGRESS_BAR, PBM_GETPOS, 0, 0), 0);
  char percent[16] = "x";
  GetDlgItemTextA(dialog_, IDC_PERCENT_TEXT, percent, sizeof percent);
  EXPECT_STREQ(percent, "");
  EXPECT_EQ(SendMessageA(dialog_, WM_GETICON, ICON_SMALL, 0), 0);
  EXPECT_EQ(GetMenuState(GetSystemMenu(dialog_, FALSE), SC_CLOSE, MF_BYCOMMAND), static_cast<UINT>(-1));
}

TEST_F(ProgressDialogTest, CannotBeClosedUntilTheWorkSucceeded) {
  for (UINT message : {static_cast<UINT>(WM_CLOSE), static_cast<UINT>(WM_COMMAND)}) {
    for (WPARAM command : {WPARAM{IDOK}, WPARAM{IDCANCEL}, WPARAM{0}}) {
      EXPECT_EQ(SendMessageA(dialog_, message, command, 0), 0);  // DefDlgProc's result for a handled message
      EXPECT_TRUE(IsWindow(dialog_));
    }
  }
  EXPECT_FALSE(QuitPosted());

  gState.success = 1;
  SendMessageA(dialog_, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(dialog_));
  EXPECT_TRUE(QuitPosted());
}

TEST_F(ProgressDialogTest, SuccessfulWorkRecordsThenClosesItself) {
  BoxRecorder recorder;
  SendMessageA(dialog_, UM_RUN_UPDATE, 0, 0);
  EXPECT_TRUE(recorder.Boxes().empty());
  EXPECT_EQ(gState.success, 1);
  EXPECT_EQ(Record(), "1");
  EXPECT_FALSE(IsWindow(dialog_));
  EXPECT_TRUE(QuitPosted());
  EXPECT_EQ(std::string(gState.dataFolder), install_.Path() + "\\data");
}

// A second request, waiting in the queue, reaches the dialog while the first
// one's box is up: the work must not start again inside itself.
TEST_F(ProgressDialogTest, WorkRunsOnceWhateverIsPosted) {
  lstrcpyA(gState.installFolder, "*");  // the work fails at once, after one box
  BoxRecorder recorder;
  PostMessageA(dialog_, UM_RUN_UPDATE, 0, 0);
  SendMessageA(dialog_, UM_RUN_UPDATE, 0, 0);
  EXPECT_EQ(recorder.Boxes().size(), 1u);
  EXPECT_FALSE(IsWindow(dialog_));
}

TEST_F(ProgressDialogTest, FailedWorkDestroysItWithoutRecording) {
  lstrcpyA(gState.installFolder, "*");  // the free-space check refuses it
  BoxRecorder recorder;
  SendMessageA(dialog_, UM_RUN_UPDATE, 0, 0);
  EXPECT_EQ(recorder.Boxes().size(), 1u);
  EXPECT_EQ(gState.success, 0);
  EXPECT_EQ(Record(), "(none)");
  EXPECT_FALSE(IsWindow(dialog_));
  EXPECT_TRUE(QuitPosted());
}

}  // namespace
