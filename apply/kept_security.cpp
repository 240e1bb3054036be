#include "apply/kept_security.h"

#include <aclapi.h>

#include <cstring>

void KeptSecurity::TakeFrom(HANDLE file, DWORD attributes) {
  taken_ = true;
  attributes_ = attributes;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl_, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    dacl_ = nullptr;
    return;
  }
  descriptor_ = descriptor;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  // A DACL that inherits nothing from the folder must not start to on the new file.
  protected_ = GetSecurityDescriptorControl(descriptor, &control, &revision) && (control & SE_DACL_PROTECTED);
}

namespace {

// Whether two DACLs are the same, ACE for ACE.
bool SameAcl(const ACL* a, const ACL* b) {
  if (!a || !b) return a == b;
  return a->AclSize == b->AclSize && std::memcmp(a, b, a->AclSize) == 0;
}

}  // namespace

bool KeptSecurity::GiveTo(HANDLE file) const {
  if (!taken_) return true;
  // Most files carry only what their folder hands down, which the new file
  // has already: setting it again would cost a write of the file's security
  // for nothing.
  if (dacl_) {
    PACL current = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    const bool same = GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                      &current, nullptr, &descriptor) == ERROR_SUCCESS &&
                      GetSecurityDescriptorControl(descriptor, &control, &revision) &&
                      ((control & SE_DACL_PROTECTED) != 0) == protected_ && SameAcl(current, dacl_);
    LocalFree(descriptor);
    if (!same &&
        SetSecurityInfo(file, SE_FILE_OBJECT,
                        DACL_SECURITY_INFORMATION | (protected_ ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                : UNPROTECTED_DACL_SECURITY_INFORMATION),
                        nullptr, nullptr, dacl_, nullptr) != ERROR_SUCCESS) {
      return false;
    }
  }
  constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                          FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                          FILE_ATTRIBUTE_TEMPORARY;
  FILE_BASIC_INFO basic = {};
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) return false;
  const DWORD wanted = attributes_ & kKept ? attributes_ & kKept : FILE_ATTRIBUTE_NORMAL;
  const DWORD now = basic.FileAttributes & kKept ? basic.FileAttributes & kKept : FILE_ATTRIBUTE_NORMAL;
  if (wanted == now) return true;
  // Zero times leave them as they are.
  basic = {};
  basic.FileAttributes = wanted;
  return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
}
