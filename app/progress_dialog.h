// The progress dialog that runs the update work and cannot be closed by the user.
#pragma once

#include <windows.h>

#include "res/resource.h"

// Sent once, synchronously, after the dialog is shown: runs the whole work.
constexpr UINT UM_RUN_UPDATE = WM_USER + 0x100;

// Registers the progress-bar class (from the system comctl32) before the
// dialog is created. Returns the loaded comctl32, to be freed once no window
// of its classes is left, or null when it could not be loaded.
HMODULE RegisterProgressBarClass();

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Creates the dialog, hidden, from its template in the language of the texts
// (text::gLanguage). Null when the module carries no template for it.
HWND CreateProgressDialog(HINSTANCE instance);

// The work itself, which the dialog runs on UM_RUN_UPDATE and a silent run
// runs without it: the data folder, the payload, then the record of the
// applied update. 1 once the record is written; 0 after a failure.
int RunUpdateWork();
