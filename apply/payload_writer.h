// Writing the update's files from the updater's own resources into the
// install folder, after the free-space check, with progress in the dialog.
#pragma once

#include <cstdint>

// The bytes of payload resource `name` (type "bin"), read-only, in place in the
// module image, with *size set. On failure: null, the size untouched, the
// thread's last-error value 1 (not found) or 2 (cannot be loaded), and the
// lookup's own message box shown.
const void* FindPayloadResource(const char* name, uint32_t* size);

// 1 when the install drive has room for `grandTotal` bytes (or cannot be
// asked); 0 after telling the user why not.
int CheckFreeSpace(uint32_t grandTotal);

// Writes every payload file, then merges the update-information list.
// 1 on success; 0 after the failure has been shown.
int WritePayload();
