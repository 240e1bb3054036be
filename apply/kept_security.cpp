#include "apply/kept_security.h"

#include <aclapi.h>

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

bool KeptSecurity::GiveTo(HANDLE file) const {
  if (!taken_) return true;
  if (dacl_ &&
      SetSecurityInfo(file, SE_FILE_OBJECT,
                      DACL_SECURITY_INFORMATION | (protected_ ? PROTECTED_DACL_SECURITY_INFORMATION
                                                              : UNPROTECTED_DACL_SECURITY_INFORMATION),
                      nullptr, nullptr, dacl_, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                          FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                          FILE_ATTRIBUTE_TEMPORARY;
  FILE_BASIC_INFO basic = {};
  basic.FileAttributes = attributes_ & kKept ? attributes_ & kKept : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
}
