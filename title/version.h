// Comparison of the applied-update record with this update's version.
#pragma once

// Non-zero when the recorded version is equal to or newer than the update's.
// Both texts are read as numbers the way atof reads them (a text that does not
// begin with a number is 0) and rounded to single precision before comparing,
// so "1", "1.0", "01" and "1.00000001" all equal "1". A record beginning with
// "*" is no record at all and gives 0.
int IsRecordedVersionCurrent(const char* recorded, const char* updateVersion);
