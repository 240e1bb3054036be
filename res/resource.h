// Resource and control ids shared by the resource script and the code.
// Plain macros: windres reads this file too.
#pragma once

#define IDD_PROGRESS 102       // the progress dialog's template
#define IDI_DIALOG_ICON 112    // asked for by the dialog; the module carries none
#define IDC_PROGRESS_BAR 1008  // msctls_progress32, range 0 to 100
#define IDC_PERCENT_TEXT 1009  // "%3d%" right-aligned below the bar
#define IDC_STATUS_TEXT 1010   // the fixed text above the bar
