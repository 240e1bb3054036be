// The check of the installed title against the checksum records of its
// installed record library.
#pragma once

#include <windows.h>

#include "verify/record.h"

// 1 when the record library matches its own record and the main program
// matches the library's record for it; 0 otherwise. Shows nothing, leaves no
// library loaded and no file open.
int CheckInstallation(const char* installFolder);

// 1 when the library file at `path` matches its SelfRecord "RESOURCE.dll".
int CheckRecordLibrary(const char* path);

// Copies the RT_RCDATA record `name` (any letter case, any language) of a
// loaded record library into `buffer`. Takes over the library: it is freed
// before this returns, on every outcome. 1 when the record was copied.
int FetchRecord(HMODULE library, const char* name, unsigned char (&buffer)[kRecordBufferSize]);

// Loads a record library as data only: none of its code runs.
HMODULE LoadRecordLibrary(const char* path);
