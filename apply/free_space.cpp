// The free-space check of the install drive, before anything is written.
#include <windows.h>

#include <cstdint>

#include "apply/payload_writer.h"
#include "apply/progress.h"
#include "base/log.h"
#include "base/texts.h"
#include "base/update_state.h"
#include "base/win_util.h"

namespace {

// The boxes of this check have no owner. Their texts join ours (code page 932)
// with the install folder as the settings file gave it (the system's ANSI code
// page), so they are composed in UTF-16 from each in its own code page and
// read right on a Japanese and a Western system alike.
template <class... Numbers>
void ShowFreeSpaceMessage(const char* format, Numbers... numbers) {
  wchar_t wideFormat[256];
  wchar_t folder[MAX_PATH];
  WidenText(wideFormat, format);
  WidenText(folder, gState.installFolder, CP_ACP);
  // Room for a folder of 259 characters with the fixed text and three numbers.
  wchar_t message[1024];
  FormatWideText(message, wideFormat, folder, numbers...);
  ShowMessage(nullptr, message, gState.caption, MB_OK | MB_ICONWARNING);
}

}  // namespace

int CheckFreeSpace(uint32_t grandTotal) {
  // Only the volume the drive letter names is asked, never the folder itself:
  // the first two bytes, whatever the first one is.
  char drive[3] = {};
  drive[0] = gState.installFolder[0];
  if (drive[0] != '\0') drive[1] = gState.installFolder[1];

  if (drive[1] != ':') {
    LogStepPath("free space", gState.installFolder, "the install folder names no drive letter");
    ShowFreeSpaceMessage(text::kBadInstallFolderFormat);
    return 0;
  }

  // The volume's whole free space, not the part a quota leaves to this user.
  ULARGE_INTEGER total = {};
  ULARGE_INTEGER totalFree = {};
  if (!GetDiskFreeSpaceExA(drive, nullptr, &total, &totalFree)) {
    LogFailure("free space: cannot be asked, the update goes on", drive, GetLastError());
    return 1;
  }

  const uint32_t freeMegabytes = progress::Megabytes(totalFree.QuadPart);
  const uint32_t volumeMegabytes = progress::Megabytes(total.QuadPart);
  const uint32_t requiredMegabytes = progress::Megabytes(grandTotal);
  const bool enough = freeMegabytes >= requiredMegabytes;
  LogStep("free space", "%s %lu MiB free of %lu MiB, %lu bytes to write: %s", drive, freeMegabytes,
          volumeMegabytes, grandTotal, enough ? "enough" : "too little");
  if (enough) return 1;

  gState.failure = Outcome::kNoSpace;
  ShowFreeSpaceMessage(text::kNoSpaceFormat, freeMegabytes, volumeMegabytes, requiredMegabytes + 1);
  return 0;
}
