// The one process-wide record that the steps of an update hand to each other.
// Zeroed as a whole by the entry function before anything else runs.
#pragma once

#include <windows.h>

#include <cstdint>

#include "base/outcome.h"

struct UpdateState {
  HINSTANCE instance;            // the updater's own module: dialog template, payload resources
  HWND dialog;                   // the progress dialog, owner of the boxes shown during the work
  int32_t success;               // 1 once the work has finished and the record is written
  int32_t silent;                // 1 in a silent run (/S): no box is shown, none is asked
  Outcome failure;               // how a failed work failed, when it was more than a failure
  char installFolder[MAX_PATH];  // from the settings file
  char appDataFolder[MAX_PATH];  // parent of the maker's folder
  char updaterFolder[MAX_PATH];  // folder of the updater's own program file
  char dataFolder[MAX_PATH];     // updater folder + "\data"
  char caption[1024];            // "<display title> - Update Program"
};

extern UpdateState gState;
