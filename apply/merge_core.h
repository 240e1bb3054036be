// Merging of update-information lists, free of any operating-system call.
// A list is a text of ";"-ended entries, one per line; the merge puts every
// entry of the update's list that the installed list lacks in front of the
// installed text. The file handling around it lives in the Windows shell.
#pragma once

#include <cstddef>

#include "base/heap_text.h"

// Bytes from the position up to and including the first line end: LF or a lone
// CR at offset i gives i + 1, CR LF at i gives i + 2. Without a line end before
// the terminating zero byte it is the offset of that zero (0 at the zero itself).
// Reads nothing before the position and nothing after the terminator.
size_t LineLength(const char* position);

// Merges the update's list (source) into the installed list. Each text ends at
// its first zero byte or at its size, whichever comes first. The merged text is
// every source entry that occurs nowhere in the installed text (as a plain byte
// substring), in source order, each followed by ";\n", then the installed text.
// A source line's entry runs from the line start to the next ";" of the text,
// over line ends if need be, or to the end of the text; the next line is
// measured from the line start, so the lines such an entry crossed give entries
// of their own. An empty entry is always present; an absent entry listed twice
// is added twice.
// The search takes time linear in both texts, whatever the entries look like.
// Returns non-zero with the result in merged, or 0 with merged left empty when
// memory ran out (also when the merged text would not fit in memory at all).
int MergeEntryLists(const char* source, size_t sourceSize, const char* installed,
                    size_t installedSize, HeapText& merged);
