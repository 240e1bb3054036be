// The payload writer in process: a real progress dialog from template 102
// whose two controls record every change, real message boxes answered by the
// recorder, and payload lists of the test's own.
#include "apply/payload_writer.h"

#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>
#include <shlwapi.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "app/progress_dialog.h"
#include "apply/payload_source.h"
#include "apply/progress.h"
#include "base/texts.h"
#include "base/update_state.h"
#include "base/win_util.h"
#include "box_recorder.h"
#include "test_support.h"
#include "title/title_profile.h"

// The writer's seam around each write: by default a plain WriteFile; a test
// can make every write store at most a few bytes, and one store nothing.
struct WriteSeam {
  DWORD storeAtMost = 0;  // 0: as asked
  int nothingAtCall = 0;  // 0: never; n: the n-th call stores nothing
  int calls = 0;
} gWriteSeam;

BOOL WriteChunk(HANDLE file, const BYTE* bytes, DWORD size, DWORD* written) {
  ++gWriteSeam.calls;
  if (gWriteSeam.calls == gWriteSeam.nothingAtCall) {
    *written = 0;
    return TRUE;
  }
  if (gWriteSeam.storeAtMost && size > gWriteSeam.storeAtMost) size = gWriteSeam.storeAtMost;
  return WriteFile(file, bytes, size, written, nullptr);
}

namespace {

// What the progress controls were told, and the posted messages the dialog got.
struct ControlLog {
  std::vector<std::wstring> texts;
  std::vector<int> positions;
  int dispatched = 0;
  WNDPROC textProc = nullptr;
  WNDPROC barProc = nullptr;
};
ControlLog gLog;

constexpr UINT kCountedMessage = WM_APP + 7;
// Opens gHold.path without sharing when the writer's pump dispatches it: a
// scanner that takes hold of a target after the writer checked it.
constexpr UINT kHoldMessage = WM_APP + 8;
struct Hold {
  std::string path;
  UniqueFile file;
} gHold;

LRESULT CALLBACK RecordText(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SETTEXT) gLog.texts.emplace_back(reinterpret_cast<const wchar_t*>(lParam));
  return CallWindowProcW(gLog.textProc, window, message, wParam, lParam);
}

LRESULT CALLBACK RecordPosition(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == PBM_SETPOS) gLog.positions.push_back(static_cast<int>(wParam));
  return CallWindowProcW(gLog.barProc, window, message, wParam, lParam);
}

INT_PTR CALLBACK TestDialogProc(HWND, UINT message, WPARAM, LPARAM) {
  if (message == kCountedMessage) ++gLog.dispatched;
  if (message == kHoldMessage) {
    gHold.file.Reset(CreateFileA(gHold.path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  }
  return message == WM_INITDIALOG;
}

std::vector<unsigned char> SampleFile(const char* relative) {
  return ReadBytes(BuildPath((std::string(UPDATER_SAMPLE_DIR) + "/new/" + relative).c_str()));
}

std::vector<unsigned char> ResourceBytes(const char* name) {
  HMODULE self = GetModuleHandleA(nullptr);
  HRSRC found = FindResourceA(self, name, "bin");
  if (!found) {
    ADD_FAILURE() << "no resource " << name;
    return {};
  }
  const auto* bytes = static_cast<const unsigned char*>(LockResource(LoadResource(self, found)));
  return std::vector<unsigned char>(bytes, bytes + SizeofResource(self, found));
}

const std::vector<unsigned char> kOld = {'o', 'l', 'd'};

// Names in a folder, to show that no temporary file is left behind.
std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

std::wstring FileCaption(const char* entry) {
  return FromCp932((std::string(entry) + " - " + gState.caption + " -").c_str());
}

class PayloadWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetUpdateState();
    RegisterProgressBarClass();
    dialog_ = CreateDialogParamA(gState.instance, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, TestDialogProc, 0);
    ASSERT_NE(dialog_, nullptr);
    gState.dialog = dialog_;
    gLog = ControlLog{};
    gLog.textProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        GetDlgItem(dialog_, IDC_PERCENT_TEXT), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordText)));
    gLog.barProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        GetDlgItem(dialog_, IDC_PROGRESS_BAR), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordPosition)));
    SetInstallFolder(install_.Path());
  }

  void TearDown() override {
    DestroyWindow(dialog_);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
    gTitleProfile = &kTitleProfile;
  }

  void SetInstallFolder(const std::string& folder) {
    lstrcpynA(gState.installFolder, folder.c_str(), MAX_PATH);
  }

  // Points the writer at a payload list of the test's own.
  void UseList(std::vector<const char*> entries, const char* updateInfoName = "") {
    list_ = std::move(entries);
    list_.push_back(nullptr);
    profile_ = kTitleProfile;
    profile_.payloadList = list_.data();
    profile_.updateInfoName = updateInfoName;
    gTitleProfile = &profile_;
  }

  // Messages waiting in the queue before the write; each chunk takes one.
  void QueueCountedMessages(int count) {
    for (int i = 0; i < count; ++i) PostMessageA(dialog_, kCountedMessage, 0, 0);
  }

  // Runs the writer, which must fail after exactly one warning box.
  void ExpectFailure(const std::wstring& text, const std::wstring& caption, HWND owner) {
    BoxRecorder recorder;
    EXPECT_EQ(WritePayload(), 0);
    const auto boxes = recorder.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    ExpectOneWarning(boxes[0], text, caption, owner);
  }

  static void ExpectOneWarning(const BoxRecord& box, const std::wstring& text, const std::wstring& caption,
                               HWND owner) {
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.caption, caption);
    EXPECT_EQ(box.owner, owner);
    EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
    EXPECT_TRUE(box.hasIcon);
  }

  HWND dialog_ = nullptr;
  // Per process, so that two runs of the suite in one prefix do not meet.
  ScratchFolder install_{"payload-install-" + std::to_string(GetCurrentProcessId())};
  std::vector<const char*> list_;
  TitleProfile profile_{};
};

TEST_F(PayloadWriterTest, SamplePayloadReplacesBothFilesWithSixProgressSteps) {
  CreateDirectoryA((install_ / "dll").c_str(), nullptr);
  WriteBytes(install_ / "TumbleTrain.exe", kOld);
  WriteBytes(install_ / "dll\\RESOURCE.dll", kOld);
  QueueCountedMessages(10);
  BoxRecorder recorder;

  EXPECT_EQ(WritePayload(), 1);

  EXPECT_TRUE(recorder.Boxes().empty());
  EXPECT_EQ(gLog.texts, (std::vector<std::wstring>{L" 19%", L" 39%", L" 59%", L" 79%", L" 99%", L"100%"}));
  EXPECT_EQ(gLog.positions, (std::vector<int>{19, 39, 59, 79, 99, 100}));
  EXPECT_EQ(gLog.dispatched, 6);  // five chunks of the exe, one of the library
  const auto exe = SampleFile("TumbleTrain.exe");
  const auto dll = SampleFile("dll/RESOURCE.dll");
  ASSERT_EQ(exe.size(), 325632u);
  ASSERT_EQ(dll.size(), 2560u);
  EXPECT_TRUE(ReadBytes(install_ / "TumbleTrain.exe") == exe);
  EXPECT_TRUE(ReadBytes(install_ / "dll\\RESOURCE.dll") == dll);
  EXPECT_EQ(FolderNames(install_.Path()), (std::vector<std::string>{"TumbleTrain.exe", "dll"}));
  EXPECT_EQ(FolderNames(install_ / "dll"), std::vector<std::string>{"RESOURCE.dll"});
}

// Each chunk takes one waiting message, and the controls change only when the
// percentage does.
TEST_F(PayloadWriterTest, ChunksAreAtMost65534BytesAndRepeatsAreNotShown) {
  struct Case {
    std::vector<const char*> list;
    std::vector<std::wstring> texts;
    int chunks;
  };
  const Case cases[] = {
      {{"SIZE65534.BIN"}, {L"100%"}, 1},
      {{"SIZE65535.BIN"}, {L" 99%", L"100%"}, 2},
      // 16 chunks and one of 32 bytes that leaves the percentage at 94, then 65534 + 1.
      {{"SIZE1048576.BIN", "SIZE65535.BIN"},
       {L"  5%", L" 11%", L" 17%", L" 23%", L" 29%", L" 35%", L" 41%", L" 47%", L" 52%", L" 58%", L" 64%",
        L" 70%", L" 76%", L" 82%", L" 88%", L" 94%", L" 99%", L"100%"},
       19},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list[0]);
    gLog.texts.clear();
    gLog.positions.clear();
    gLog.dispatched = 0;
    UseList(c.list);
    QueueCountedMessages(25);
    EXPECT_EQ(WritePayload(), 1);
    EXPECT_EQ(gLog.texts, c.texts);
    EXPECT_EQ(gLog.positions.size(), c.texts.size());
    EXPECT_EQ(gLog.dispatched, c.chunks);
    for (const char* entry : c.list) EXPECT_TRUE(ReadBytes(install_ / entry) == ResourceBytes(entry));
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
}

// A write that stores fewer bytes than asked is continued from where it
// stopped: the file ends whole, and the percentages are those of the bytes
// written. A write that stores nothing ends the update as a failed write.
TEST_F(PayloadWriterTest, ShortWritesAreContinuedAndEmptyOnesFail) {
  UseList({"SIZE65535.BIN", "SIZE65534.BIN"});
  const uint32_t total = 65535 + 65534;
  std::vector<std::wstring> expected;
  progress::PercentDisplay display;
  int writes = 0;
  for (uint32_t running = 0; running < total; ++writes) {
    // 1000 bytes a write, and never across the end of the first file.
    running = std::min<uint32_t>(running + 1000, running < 65535 ? 65535 : total);
    const int percent = progress::Percent(running, static_cast<float>(total));
    wchar_t text[8];
    if (display.Update(percent)) expected.push_back((swprintf(text, 8, L"%3d%%", percent), text));
  }
  WriteBytes(install_ / "SIZE65535.BIN", kOld);
  gWriteSeam = WriteSeam{1000};
  QueueCountedMessages(writes + 10);
  {
    BoxRecorder recorder;
    EXPECT_EQ(WritePayload(), 1);
    EXPECT_TRUE(recorder.Boxes().empty());
  }
  EXPECT_EQ(gWriteSeam.calls, writes);
  EXPECT_EQ(gLog.dispatched, writes);  // one message taken after each write
  EXPECT_EQ(gLog.texts, expected);
  for (const char* entry : {"SIZE65535.BIN", "SIZE65534.BIN"}) {
    EXPECT_TRUE(ReadBytes(install_ / entry) == ResourceBytes(entry)) << entry;
  }

  WriteBytes(install_ / "SIZE65535.BIN", kOld);
  WriteBytes(install_ / "SIZE65534.BIN", kOld);
  gLog.texts.clear();
  gWriteSeam = WriteSeam{1000, 5};
  BoxRecorder recorder;
  EXPECT_EQ(WritePayload(), 0);
  gWriteSeam = WriteSeam{};
  const auto boxes = recorder.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  ExpectOneWarning(boxes[0], L"アップデートに失敗しました。[0x000A0004]", FileCaption("SIZE65535.BIN"),
                   dialog_);
  EXPECT_EQ(gLog.texts, (std::vector<std::wstring>{L"  0%", L"  1%", L"  2%", L"  3%"}));
  EXPECT_EQ(ReadBytes(install_ / "SIZE65535.BIN"), kOld);
  EXPECT_EQ(ReadBytes(install_ / "SIZE65534.BIN"), kOld);
  EXPECT_EQ(FolderNames(install_.Path()), (std::vector<std::string>{"SIZE65534.BIN", "SIZE65535.BIN"}));
}

// A profile that carries its payload deflated (UPDATER_COMPRESS): the lists of
// the tests above, read from the library that holds the same files deflated,
// give the same files, percentages, chunks and messages taken as raw, short
// writes included.
TEST_F(PayloadWriterTest, DeflatedPayloadWritesAsRaw) {
  struct Library {
    HMODULE module =
        LoadLibraryExA(BuildPath(UPDATER_DEFLATED_PAYLOAD_DLL).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ~Library() {
      if (module) FreeLibrary(module);
    }
  } deflatedLibrary;
  ASSERT_NE(deflatedLibrary.module, nullptr);
  CreateDirectoryA((install_ / "dll").c_str(), nullptr);
  const std::vector<std::vector<const char*>> lists = {{"TumbleTrain.exe", "dll\\RESOURCE.dll"},
                                                       {"SIZE65534.BIN"},
                                                       {"SIZE65535.BIN"},
                                                       {"EMPTY.BIN"},
                                                       {"SIZE1048576.BIN", "SIZE65535.BIN"}};
  struct Seen {
    std::vector<std::wstring> texts;
    std::vector<int> positions;
    int dispatched = 0;
    int writes = 0;
    std::vector<std::vector<unsigned char>> files;
  };
  for (DWORD storeAtMost : {DWORD{0}, DWORD{1000}}) {
    for (const auto& list : lists) {
      SCOPED_TRACE(std::string(list[0]) + ", each write storing at most " + std::to_string(storeAtMost));
      const auto run = [&](bool deflated) {
        for (const char* entry : list) WriteBytes(install_ / entry, kOld);
        gLog.texts.clear();
        gLog.positions.clear();
        gLog.dispatched = 0;
        gWriteSeam = WriteSeam{storeAtMost};
        UseList(list);
        profile_.payloadCodec = deflated ? &kDeflatedPayload : nullptr;
        gState.instance = deflated ? deflatedLibrary.module : GetModuleHandleA(nullptr);
        QueueCountedMessages(1500);
        BoxRecorder recorder;
        EXPECT_EQ(WritePayload(), 1);
        EXPECT_TRUE(recorder.Boxes().empty());
        gState.instance = GetModuleHandleA(nullptr);
        Seen seen{gLog.texts, gLog.positions, gLog.dispatched, gWriteSeam.calls, {}};
        gWriteSeam = WriteSeam{};
        for (const char* entry : list) seen.files.push_back(ReadBytes(install_ / entry));
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
        return seen;
      };
      const Seen raw = run(false);
      const Seen deflated = run(true);
      EXPECT_EQ(deflated.texts, raw.texts);
      EXPECT_EQ(deflated.positions, raw.positions);
      EXPECT_EQ(deflated.dispatched, raw.dispatched);
      EXPECT_EQ(deflated.writes, raw.writes);
      ASSERT_EQ(deflated.files.size(), list.size());
      for (size_t i = 0; i < list.size(); ++i) {
        EXPECT_TRUE(raw.files[i] == ResourceBytes(PathFindFileNameA(list[i]))) << list[i];
        EXPECT_TRUE(deflated.files[i] == raw.files[i]) << list[i];
      }
    }
  }
}

// Deflated data damaged in the file, in its stream or in the header that
// states its size, ends the update before that file counts as written, with
// every target keeping its old content and nothing left beside them.
TEST_F(PayloadWriterTest, DamagedDeflatedPayloadFailsLikeAWriteAndReplacesNothing) {
  const struct {
    const char* where;
    DWORD at;
  } damages[] = {{"stream", 200}, {"stated size", 5}};
  for (const auto& damage : damages) {
    SCOPED_TRACE(damage.where);
    ScratchFolder copy("deflated-damaged-" + std::to_string(GetCurrentProcessId()));
    ASSERT_TRUE(CopyWithDamagedResource(BuildPath(UPDATER_DEFLATED_PAYLOAD_DLL), copy / "damaged.dll",
                                        "SIZE1048576.BIN", damage.at, 4));
    HMODULE damaged = LoadLibraryExA((copy / "damaged.dll").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(damaged, nullptr);
    WriteBytes(install_ / "SIZE65535.BIN", kOld);
    WriteBytes(install_ / "SIZE1048576.BIN", kOld);
    UseList({"SIZE65535.BIN", "SIZE1048576.BIN"});
    profile_.payloadCodec = &kDeflatedPayload;
    gState.instance = damaged;
    ExpectFailure(FromCp932(text::kPayloadDamaged), FileCaption("SIZE1048576.BIN"), dialog_);
    gState.instance = GetModuleHandleA(nullptr);
    FreeLibrary(damaged);
    EXPECT_EQ(ReadBytes(install_ / "SIZE65535.BIN"), kOld);
    EXPECT_EQ(ReadBytes(install_ / "SIZE1048576.BIN"), kOld);
    EXPECT_EQ(FolderNames(install_.Path()), (std::vector<std::string>{"SIZE1048576.BIN", "SIZE65535.BIN"}));
  }
}

TEST_F(PayloadWriterTest, EmptyResourceEmptiesTheFileWithoutProgress) {
  WriteBytes(install_ / "EMPTY.BIN", kOld);
  UseList({"EMPTY.BIN"});
  BoxRecorder recorder;
  EXPECT_EQ(WritePayload(), 1);
  EXPECT_TRUE(FileExists(install_ / "EMPTY.BIN"));
  EXPECT_TRUE(ReadBytes(install_ / "EMPTY.BIN").empty());
  EXPECT_TRUE(gLog.texts.empty());
  EXPECT_TRUE(gLog.positions.empty());
  EXPECT_TRUE(recorder.Boxes().empty());
  EXPECT_EQ(FolderNames(install_.Path()), std::vector<std::string>{"EMPTY.BIN"});
}

TEST_F(PayloadWriterTest, EmptyListWritesNothingAndSucceeds) {
  UseList({});
  BoxRecorder recorder;
  EXPECT_EQ(WritePayload(), 1);
  EXPECT_TRUE(recorder.Boxes().empty());
  EXPECT_TRUE(FolderNames(install_.Path()).empty());
}

TEST_F(PayloadWriterTest, InstallFolderWithoutDriveLetterStopsBeforeWriting) {
  for (bool emptyList : {false, true}) {
    SCOPED_TRACE(emptyList);
    if (emptyList) UseList({});
    SetInstallFolder("\\\\server\\share");
    ExpectFailure(L"インストール先に問題があります。\n \\\\server\\share", FromCp932(gState.caption),
                  nullptr);
    EXPECT_TRUE(gLog.texts.empty());
  }
}

TEST_F(PayloadWriterTest, MissingResourceIsReportedInBothPasses) {
  CreateDirectoryA((install_ / "dll").c_str(), nullptr);
  UseList({"TumbleTrain.exe", "sub\\NOSUCH.BIN", "dll\\RESOURCE.dll"});
  BoxRecorder recorder;

  EXPECT_EQ(WritePayload(), 0);

  const auto boxes = recorder.Boxes();
  ASSERT_EQ(boxes.size(), 3u);
  const std::wstring caption = FromCp932(gState.caption);
  ExpectOneWarning(boxes[0], L"アップデートに失敗しました。[0x00010001]", caption, dialog_);
  ExpectOneWarning(boxes[1], L"アップデートに失敗しました。[0x00010001]", caption, dialog_);
  ExpectOneWarning(boxes[2], L"アップデートに失敗しました。[0x000A0001]", FileCaption("sub\\NOSUCH.BIN"),
                   dialog_);
  // Found before anything was written, the entry before it included.
  EXPECT_EQ(FolderNames(install_.Path()), std::vector<std::string>{"dll"});
  EXPECT_TRUE(FolderNames(install_ / "dll").empty());
  EXPECT_TRUE(gLog.texts.empty());
}

TEST_F(PayloadWriterTest, LookupFailureKindSurvivesItsMessageBox) {
  BoxRecorder recorder;
  uint32_t size = 12345;
  EXPECT_EQ(FindPayloadResource("NOSUCH.BIN", &size), nullptr);
  EXPECT_EQ(GetLastError(), 1u);
  EXPECT_EQ(size, 12345u);
  EXPECT_NE(FindPayloadResource("resource.dll", &size), nullptr);  // names match without regard to case
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(size, 2560u);
  EXPECT_NE(FindPayloadResource("ｄａｔａж.bin", &size), nullptr);  // letters beyond ASCII too
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(recorder.Boxes().size(), 1u);
}

// Each way a target can refuse to be replaced is found before any byte of it
// is written: the old content stays whole, and no temporary is left.
TEST_F(PayloadWriterTest, RefusedTargetKeepsItsOldContent) {
  struct Case {
    const char* name;
    DWORD attributes;  // set on the old target
    DWORD holdAccess;  // 0: not held open
    DWORD holdShare;
  };
  const Case cases[] = {
      {"read-only", FILE_ATTRIBUTE_READONLY, 0, 0},
      {"hidden", FILE_ATTRIBUTE_HIDDEN, 0, 0},
      {"system", FILE_ATTRIBUTE_SYSTEM, 0, 0},
      {"running title", FILE_ATTRIBUTE_NORMAL, GENERIC_READ, FILE_SHARE_READ},
      {"held without sharing", FILE_ATTRIBUTE_NORMAL, GENERIC_READ, 0},
      {"written without sharing", FILE_ATTRIBUTE_NORMAL, GENERIC_WRITE, FILE_SHARE_READ},
      // Its writes could go on, but the file could not be moved aside.
      {"written, sharing writes only", FILE_ATTRIBUTE_NORMAL, GENERIC_WRITE, FILE_SHARE_WRITE},
  };
  UseList({"SIZE65534.BIN"});
  const std::string target = install_ / "SIZE65534.BIN";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    WriteBytes(target, kOld);
    SetFileAttributesA(target.c_str(), c.attributes);
    UniqueFile holder;
    if (c.holdAccess) {
      holder.Reset(
          CreateFileA(target.c_str(), c.holdAccess, c.holdShare, nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(holder.Valid());
    }
    gLog.texts.clear();
    ExpectFailure(L"アップデートに失敗しました。[0x000A0003]", FileCaption("SIZE65534.BIN"), dialog_);
    holder.Reset();
    EXPECT_EQ(ReadBytes(target), kOld);
    if (c.attributes != FILE_ATTRIBUTE_NORMAL) {
      EXPECT_TRUE(GetFileAttributesA(target.c_str()) & c.attributes);
    }
    EXPECT_EQ(FolderNames(install_.Path()), std::vector<std::string>{"SIZE65534.BIN"});
    EXPECT_TRUE(gLog.texts.empty());
  }
}

// A target that passed the check is taken hold of while the new files are
// staged. If it is let go within about a second, the update goes through;
// otherwise every target, the ones already replaced too, keeps or gets back
// its old content, and no staged or set-aside file is left.
TEST_F(PayloadWriterTest, ReplacementRefusedGivesEveryTargetItsOldContent) {
  for (const bool letGo : {false, true}) {
    SCOPED_TRACE(letGo ? "held for a moment" : "held");
    UseList({"SIZE65534.BIN", "EMPTY.BIN", "SIZE65535.BIN"});  // EMPTY.BIN is new
    RemoveTree(install_ / "EMPTY.BIN");
    WriteBytes(install_ / "SIZE65534.BIN", kOld);
    WriteBytes(install_ / "SIZE65535.BIN", kOld);
    gHold.path = install_ / "SIZE65535.BIN";
    PostMessageA(dialog_, kHoldMessage, 0, 0);
    std::thread release;
    if (letGo) {
      release = std::thread([] {
        for (int i = 0; i < 100 && !gHold.file.Valid(); ++i) Sleep(10);
        Sleep(300);
        gHold.file.Reset();
      });
    }
    gLog.texts.clear();
    BoxRecorder recorder;
    const DWORD start = GetTickCount();

    EXPECT_EQ(WritePayload(), letGo ? 1 : 0);

    const DWORD took = GetTickCount() - start;
    if (release.joinable()) release.join();
    const bool wasHeld = gHold.file.Valid() || letGo;
    gHold.file.Reset();
    ASSERT_TRUE(wasHeld) << "the hold never happened";
    EXPECT_EQ(gLog.texts.back(), L"100%");  // everything was staged first
    if (letGo) {
      EXPECT_TRUE(recorder.Boxes().empty());
      for (const char* entry : {"SIZE65534.BIN", "EMPTY.BIN", "SIZE65535.BIN"}) {
        EXPECT_TRUE(ReadBytes(install_ / entry) == ResourceBytes(entry)) << entry;
      }
      EXPECT_EQ(FolderNames(install_.Path()),
                (std::vector<std::string>{"EMPTY.BIN", "SIZE65534.BIN", "SIZE65535.BIN"}));
      continue;
    }
    const auto boxes = recorder.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    ExpectOneWarning(boxes[0], L"アップデートに失敗しました。[0x000A0003]", FileCaption("SIZE65535.BIN"),
                     dialog_);
    EXPECT_GE(took, 900u) << "the replacement was not tried again";
    EXPECT_EQ(ReadBytes(install_ / "SIZE65534.BIN"), kOld);
    EXPECT_EQ(ReadBytes(install_ / "SIZE65535.BIN"), kOld);
    EXPECT_EQ(FolderNames(install_.Path()), (std::vector<std::string>{"SIZE65534.BIN", "SIZE65535.BIN"}));
  }
}

// An update that an earlier run could not settle keeps its journal, and no
// new update starts over it.
TEST_F(PayloadWriterTest, UnsettledEarlierUpdateKeepsTheNextFromStarting) {
  UseList({"SIZE65534.BIN"});
  WriteBytes(install_ / "SIZE65534.BIN", kOld);
  const std::string journal = install_ / "TumbleTrainUpdate.journal";
  const std::string unsettled = "title-updater journal 1\n+SIZE65534.BIN\nend\ncommit\n";
  WriteText(journal, unsettled);
  ExpectFailure(L"アップデートに失敗しました。[0x000A0003]", FromCp932(gState.caption), dialog_);
  EXPECT_EQ(ReadBytes(install_ / "SIZE65534.BIN"), kOld);
  const std::vector<unsigned char> kept = ReadBytes(journal);
  EXPECT_EQ(std::string(kept.begin(), kept.end()), unsettled);
  EXPECT_TRUE(gLog.texts.empty());
}

TEST_F(PayloadWriterTest, MissingFolderStopsTheUpdateBeforeAnythingIsWritten) {
  UseList({"TumbleTrain.exe", "dll\\RESOURCE.dll"});
  ExpectFailure(L"アップデートに失敗しました。[0x000A0003]", FileCaption("dll\\RESOURCE.dll"), dialog_);
  EXPECT_TRUE(FolderNames(install_.Path()).empty());
  EXPECT_TRUE(gLog.texts.empty());
}

TEST_F(PayloadWriterTest, TargetThatIsAFolderIsRefused) {
  CreateDirectoryA((install_ / "SIZE65534.BIN").c_str(), nullptr);
  UseList({"SIZE65534.BIN"});
  BoxRecorder recorder;
  EXPECT_EQ(WritePayload(), 0);
  ASSERT_EQ(recorder.Boxes().size(), 1u);
  EXPECT_EQ(recorder.Boxes()[0].text, L"アップデートに失敗しました。[0x000A0003]");
  EXPECT_EQ(FolderNames(install_.Path()), std::vector<std::string>{"SIZE65534.BIN"});
}

// Paths and captions that do not fit their buffers are refused, never composed past them.
TEST_F(PayloadWriterTest, OverlongPathsAreRefused) {
  // The output path itself passes 259 characters: it is never composed.
  SetInstallFolder("C:\\" + std::string(247, 'x'));
  UseList({"TumbleTrain.exe"});
  ExpectFailure(L"アップデートに失敗しました。[0x000A0003]", FileCaption("TumbleTrain.exe"), dialog_);

  // A folder of 247 characters that exists: the target's path fits, but the
  // staged file's name beside it would not, so the old file is kept.
  const std::string deep = install_.Path() + "\\" + std::string(246 - install_.Path().size(), 'd');
  ASSERT_EQ(deep.size(), 247u);
  ASSERT_TRUE(CreateDirectoryA(deep.c_str(), nullptr));
  WriteBytes(deep + "\\EMPTY.BIN", kOld);
  SetInstallFolder(deep);
  UseList({"EMPTY.BIN"});
  {
    ExpectFailure(L"アップデートに失敗しました。[0x000A0003]", FileCaption("EMPTY.BIN"), dialog_);
    EXPECT_EQ(ReadBytes(deep + "\\EMPTY.BIN"), kOld);
    EXPECT_EQ(FolderNames(deep), std::vector<std::string>{"EMPTY.BIN"});
  }

  // An updater caption so long that the per-file caption cannot hold it: the
  // box falls back to the updater's own caption.
  const std::string longCaption(1020, 'c');
  lstrcpynA(gState.caption, longCaption.c_str(), sizeof gState.caption);
  UseList({"NOSUCH.BIN"});
  SetInstallFolder(install_.Path());
  BoxRecorder recorder;
  EXPECT_EQ(WritePayload(), 0);
  const auto boxes = recorder.Boxes();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[2].caption, std::wstring(1020, L'c'));
  EXPECT_EQ(boxes[2].text, L"アップデートに失敗しました。[0x000A0001]");
}

TEST_F(PayloadWriterTest, FailedMergeFailsTheUpdateAfterTheFilesAreWritten) {
  ScratchFolder data("payload-data-" + std::to_string(GetCurrentProcessId()));
  WriteText(data / "UpdateInfo.txt", "A;\n");
  lstrcpynA(gState.dataFolder, data.Path().c_str(), MAX_PATH);
  UseList({"SIZE65534.BIN"}, "UpdateInfo.txt");  // the install folder has no list: merge code 3
  BoxRecorder recorder;

  EXPECT_EQ(WritePayload(), 0);

  const auto boxes = recorder.Boxes();
  ASSERT_EQ(boxes.size(), 2u);  // the merge's own message, then the writer's
  ExpectOneWarning(boxes[1],
                   L"指定されたファイルが見つかりませんでした。\nアップデートは成功しましたが、\n"
                   L"アップデート情報の更新に失敗しました。[0x00000003]",
                   L"アップデート情報の更新に失敗しました。", dialog_);
  EXPECT_TRUE(ReadBytes(install_ / "SIZE65534.BIN") == ResourceBytes("SIZE65534.BIN"));
}

// On drive T:, a 3 MiB tmpfs (tmpfs_drive.sh) filled to leave a set amount free.
class TmpfsDrivePayloadWriter : public PayloadWriterTest {
 protected:
  void SetUp() override {
    ULARGE_INTEGER total = {};
    if (!GetDiskFreeSpaceExA("T:\\", nullptr, &total, nullptr) || total.QuadPart != 3u << 20) {
      GTEST_SKIP() << "drive T: is not the 3 MiB tmpfs of tmpfs_drive.sh";
    }
    PayloadWriterTest::SetUp();
    CreateDirectoryA(kInstall, nullptr);
    SetInstallFolder(kInstall);
  }
  void TearDown() override {
    RemoveTree(kInstall);
    RemoveTree("T:\\filler.bin");
    PayloadWriterTest::TearDown();
  }
  static void LeaveFree(uint64_t freeBytes) {
    RemoveTree("T:\\filler.bin");
    ULARGE_INTEGER available = {};
    GetDiskFreeSpaceExA("T:\\", nullptr, nullptr, &available);
    ASSERT_GE(available.QuadPart, freeBytes);
    WriteBytes("T:\\filler.bin", std::vector<unsigned char>(available.QuadPart - freeBytes, 0x5A));
  }
  static constexpr char kInstall[] = "T:\\inst";
};

TEST_F(TmpfsDrivePayloadWriter, NotEnoughRoomWritesNothing) {
  struct Case {
    size_t freeBytes;
    std::vector<const char*> list;
    const wchar_t* numbers;
  };
  const Case cases[] = {
      {1u << 19, {"SIZE1048576.BIN"}, L"[0 / 3] \n必要容量 : 2"},
      {2u << 20, {"a\\SIZE1048576.BIN", "b\\SIZE1048576.BIN", "SIZE1048576.BIN"}, L"[2 / 3] \n必要容量 : 4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list.size());
    LeaveFree(c.freeBytes);
    CreateDirectoryA("T:\\inst\\a", nullptr);
    CreateDirectoryA("T:\\inst\\b", nullptr);
    UseList(c.list);
    BoxRecorder recorder;
    EXPECT_EQ(WritePayload(), 0);
    const auto boxes = recorder.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    ExpectOneWarning(
        boxes[0],
        std::wstring(L"インストール先の容量が足りません。\n確認して下さい。 \nT:\\inst \n") + c.numbers,
        FromCp932(gState.caption), nullptr);
    EXPECT_EQ(FolderNames(kInstall), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(FolderNames("T:\\inst\\a").empty());
    EXPECT_TRUE(gLog.texts.empty());
  }
}

// A payload under 2^20 bytes requires no megabyte, so the check passes and the
// disk fills up midway through the file.
TEST_F(TmpfsDrivePayloadWriter, DiskFullMidwayKeepsTheOldFileWhole) {
  const std::string target = std::string(kInstall) + "\\TumbleTrain.exe";
  const std::vector<unsigned char> old(100000, 0x4F);
  WriteBytes(target, old);
  CreateDirectoryA("T:\\inst\\dll", nullptr);
  LeaveFree(200u << 10);  // room for the old file and part of the new one, not all of it
  UseList({"TumbleTrain.exe", "dll\\RESOURCE.dll"});
  ExpectFailure(L"アップデートに失敗しました。[0x000A0004]", FileCaption("TumbleTrain.exe"), dialog_);
  EXPECT_TRUE(ReadBytes(target) == old);
  EXPECT_EQ(FolderNames(kInstall), (std::vector<std::string>{"TumbleTrain.exe", "dll"}));
  EXPECT_TRUE(FolderNames("T:\\inst\\dll").empty());
  EXPECT_FALSE(gLog.texts.empty());  // some chunks went out before the disk was full
  EXPECT_NE(gLog.texts.back(), L" 99%");
}

}  // namespace
