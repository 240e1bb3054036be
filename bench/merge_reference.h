// The plain merge: each entry looked for with a naive substring search over the
// whole installed text. Kept only as the yardstick that tests and benchmarks
// hold MergeEntryLists against; the updater never calls it (it is built for the
// host only).
#pragma once

#include <cstddef>

#include "apply/merge_core.h"

// Same contract and result as MergeEntryLists, in time entries x installed size.
int MergeEntryListsPlain(const char* source, size_t sourceSize, const char* installed,
                         size_t installedSize, HeapText& merged);
