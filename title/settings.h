// The per-title settings file in the user's AppData: where the title is
// installed and which update was last applied.
#pragma once

// Finds AppData and the settings file and reads the install folder into the
// update state ("*" when the file names none). 1 when the settings file exists
// as a file, 0 otherwise; shows a box of its own only when there is no AppData.
int LocateInstallFolder();

// 1 when the settings file records this update, or a newer one, as applied.
int IsUpdateApplied();

// Records this update's version as applied. Always 1; a failed write is not noticed.
int RecordUpdateApplied();
