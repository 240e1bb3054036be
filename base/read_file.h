// Reading a file whole, as the installation check and the merge do.
#pragma once

#include "base/heap_text.h"

enum class ReadResult { kRead, kFailed, kNoMemory };

// Reads the file at `path` with one read into a zero-filled buffer one byte
// longer than the file, so its text always ends with a zero byte. Others may
// read the file meanwhile, not write it; it is closed before this returns.
// A failed or short read counts as a failure, as does a size GetFileSize
// cannot report or one of 4 GiB or more: a file read only in part must never
// pass for the whole.
ReadResult ReadWholeFile(const char* path, HeapText& out);
