#include "app/progress_dialog.h"

#include <commctrl.h>

#include "apply/payload_writer.h"
#include "base/texts.h"
#include "base/update_state.h"
#include "base/win_util.h"
#include "title/settings.h"

namespace {

// Set once the work has begun: it runs once per dialog. The message boxes and
// the writer's pump dispatch waiting messages, and a second request, posted
// by another program, would otherwise start the work again inside itself.
bool gWorkStarted = false;

void InitDialog(HWND dialog) {
  gWorkStarted = false;
  SetWindowText932(dialog, gState.caption);
  SendMessageA(GetDlgItem(dialog, IDC_PROGRESS_BAR), PBM_SETPOS, 0, 0);
  // The module carries no icon 112, so this leaves the dialog without a small icon.
  HICON icon = LoadIconA(gState.instance, MAKEINTRESOURCEA(IDI_DIALOG_ICON));
  SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  RemoveMenu(GetSystemMenu(dialog, FALSE), SC_CLOSE, MF_BYCOMMAND);
}

void RunUpdate(HWND dialog) {
  if (!RunUpdateWork()) {
    DestroyWindow(dialog);
    return;
  }
  // The flag is set before WM_CLOSE, which destroys the dialog only once the
  // flag says the work succeeded.
  gState.success = 1;
  SendMessageA(dialog, WM_CLOSE, 0, 0);
}

}  // namespace

int RunUpdateWork() {
  // Without the updater's own folder there is no data folder either.
  if (gState.updaterFolder[0] != '\0')
    JoinPath(gState.dataFolder, gState.updaterFolder, text::kDataFolderName);
  if (!WritePayload()) return 0;
  // The record is written before success is claimed.
  RecordUpdateApplied();
  return 1;
}

HWND CreateProgressDialog(HINSTANCE instance) {
  // The template in the language of the texts, found by its language rather
  // than by the thread's, so that its status text matches the boxes.
  const WORD language = text::gLanguage == text::Language::kEnglish
                            ? MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)
                            : MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);
  HRSRC found = FindResourceExW(instance, MAKEINTRESOURCEW(5) /* RT_DIALOG */, MAKEINTRESOURCEW(IDD_PROGRESS),
                                language);
  HGLOBAL loaded = found ? LoadResource(instance, found) : nullptr;
  const auto* dialogTemplate = loaded ? static_cast<const DLGTEMPLATE*>(LockResource(loaded)) : nullptr;
  if (!dialogTemplate) return nullptr;
  // A Unicode dialog: an ANSI one would pass its title through the system's
  // code page, which cannot hold the Japanese caption on a Western system.
  return CreateDialogIndirectParamW(instance, dialogTemplate, nullptr, ProgressDialogProc, 0);
}

// Makes the progress-bar class available before the dialog is created.
// comctl32 is loaded by name after the search restriction, not imported, so a
// copy planted beside the exe is never picked up.
HMODULE RegisterProgressBarClass() {
#if defined(UPDATER_TEST_PLANT_PROBE)
  // Test builds only: a DLL no system folder holds, asked for by name where
  // the updater loads comctl32, so that a test can plant one beside the exe.
  // (comctl32 itself comes through the manifest's side-by-side assembly.)
  if (HMODULE probe = LoadLibraryA("zqplantprobe.dll")) FreeLibrary(probe);
#endif
  HMODULE comctl = LoadLibraryA("comctl32.dll");
  if (!comctl) return nullptr;
  using InitFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  auto init =
      reinterpret_cast<InitFn>(reinterpret_cast<void*>(GetProcAddress(comctl, "InitCommonControlsEx")));
  if (init) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    init(&controls);
  }
  return comctl;
}

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      InitDialog(dialog);
      return TRUE;
    case WM_CLOSE:
      // Ignored while the work runs: a half-written update must not be abandoned.
      if (gState.success) DestroyWindow(dialog);
      return TRUE;
    case WM_DESTROY:
      PostQuitMessage(0);
      return TRUE;
    case WM_COMMAND:
      // Swallows IDOK/IDCANCEL from Enter and Escape, and every other command.
      return TRUE;
    case UM_RUN_UPDATE:
      if (!gWorkStarted) {
        gWorkStarted = true;
        RunUpdate(dialog);
      }
      return TRUE;
    default:
      return FALSE;
  }
}
