// The install folder as the elevated updater works under it. The folder named
// by the settings file may itself be a junction (players move games to other
// drives that way): it is resolved once, and everything is done under its
// final path. Below it, nothing the updater touches may lead elsewhere: no
// junction, symbolic link or mount point is ever followed. The folders it
// works in are held open without delete sharing from the first look to the
// end, so none can be renamed, removed or swapped for a link meanwhile.
#pragma once

#include <windows.h>

#include <cstdint>

#include "base/file_identity.h"

// Replaces the install folder of the update state by its final path and holds
// it. False when it cannot be opened, or its final path does not fit.
bool ResolveInstallFolder();

// Whether every folder on the way to `relative` (a path under the install
// folder, its last part a file) is a plain folder of the install folder: no
// reparse point, and opened, its final path is the one named. Each is held
// from here on. A folder that does not exist ends the way plainly.
bool FoldersArePlain(const char* relative);

// Whether nothing on the way from `folder` to `relative` below it, the last
// part included, is a reparse point. For reading: it holds nothing open.
bool NoLinkOnTheWay(const char* folder, const char* relative);

// Whether the file at `path` is no reparse point (a link or a junction) by its
// own attributes; true when there is no file.
bool IsPlainOrMissing(const char* path);

// Whether `handle` was opened as `path` itself: its final path is `path`, and
// it is no reparse point.
bool OpenedAsNamed(HANDLE handle, const char* path);

// What the file system says of an open file.
struct OpenFileFacts {
  FileIdentity identity;
  uint64_t size;
  DWORD attributes;
  DWORD links;
};
bool FactsOf(HANDLE handle, OpenFileFacts* facts);

// Opens an existing file under the install folder to look at it, sharing
// everything, without following a link at its name: INVALID_HANDLE_VALUE when
// it is not there or is not a plain file named so. With a known identity it
// opens only that file (a link, which Wine would follow, leads to another),
// which costs less than asking for the final path.
HANDLE OpenToLookAt(const char* path, DWORD access = GENERIC_READ, FileIdentity expected = {0, 0});
