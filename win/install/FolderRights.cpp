#include "win/install/FolderRights.h"

#include <aclapi.h>

#include <string>

#include "win/base/Files.h"

namespace {

// P: protected, nothing inherited from the parent. SY (SYSTEM) and BA (Administrators):
// FA, full control. BU (Users): 0x1200a9, read, list and execute. OICI: folders pass the
// entries on to what is made inside them.
constexpr wchar_t kFolderRights[] = L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
constexpr wchar_t kFileRights[] = L"D:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";

}  // namespace

ProtectedRights::ProtectedRights()
    : folder_(kFolderRights),
      file_(kFileRights),
      ownedFolder_((std::wstring(L"O:BA") + kFolderRights).c_str()) {}

const ProtectedRights& ProtectedRights::Get() {
  // Kept for the life of the process, never freed: the worker thread may still use it while
  // the process exits.
  static const ProtectedRights* const rights = new ProtectedRights;
  return *rights;
}

bool ProtectedRights::Apply(HANDLE handle, bool folder) const {
  const SECURITY_ATTRIBUTES* attributes = folder ? Folder() : File();
  if (attributes == nullptr)
    return false;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(attributes->lpSecurityDescriptor, &present, &dacl, &defaulted))
    return false;
  // The call returns its error rather than leaving it as the last error.
  const DWORD error = SetSecurityInfo(
      handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      nullptr, nullptr, dacl, nullptr);
  return error == ERROR_SUCCESS || FailWith(error);
}

bool ProtectedRights::ProtectExisting(HANDLE folder) const {
  // The descriptor is set on the folder alone: unlike SetSecurityInfo, this call passes
  // nothing on to the files and folders already inside, which stay as their owners made
  // them. The descriptor's own control ("P") protects the new entries from the parent's.
  return ExistingFolder() != nullptr &&
         SetKernelObjectSecurity(folder, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                 ExistingFolder()->lpSecurityDescriptor) != FALSE;
}
