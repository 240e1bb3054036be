// Merging the update's copy of the update-information list into the installed copy.
#pragma once

// 0 on success (also when no list is configured or the update carries none),
// otherwise a failure code from 1 to 6 after the messages have been shown.
int MergeUpdateInfo();
