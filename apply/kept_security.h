// What a file that replaces another keeps of it: its DACL, so that a grant on
// the old file (one that lets the title rewrite its own data, say) survives,
// and the attributes one may set (hidden, not indexed, ...). Copied by hand
// onto the new file before it takes the old one's place: a rename keeps the
// new file's own, and under Wine the system's own replacement keeps neither.
#pragma once

#include <windows.h>

class KeptSecurity {
 public:
  KeptSecurity() = default;
  KeptSecurity(const KeptSecurity&) = delete;
  KeptSecurity& operator=(const KeptSecurity&) = delete;
  ~KeptSecurity() { LocalFree(descriptor_); }

  // Reads them from the file to be replaced, open with READ_CONTROL, whose
  // attributes are `attributes`.
  void TakeFrom(HANDLE file, DWORD attributes);
  // Gives them to the new file, open with WRITE_DAC and FILE_WRITE_ATTRIBUTES.
  // True when nothing was taken. Under Wine, which keeps no DACLs, the DACL's
  // call succeeds and changes nothing.
  bool GiveTo(HANDLE file) const;

 private:
  HLOCAL descriptor_ = nullptr;
  PACL dacl_ = nullptr;
  bool protected_ = false;
  bool taken_ = false;
  DWORD attributes_ = 0;
};
