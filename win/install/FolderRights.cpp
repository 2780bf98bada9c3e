#include "win/install/FolderRights.h"

#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "win/base/Owners.h"

namespace {

// P: protected, nothing inherited from the parent. SY (SYSTEM) and BA (Administrators):
// FA, full control. BU (Users): 0x1200a9, read, list and execute. OICI: folders pass the
// entries on to what is made inside them.
constexpr wchar_t kFolderRights[] = L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
constexpr wchar_t kFileRights[] = L"D:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";

SECURITY_ATTRIBUTES Attributes(const wchar_t* sddl) {
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                           nullptr)) {
    attributes.lpSecurityDescriptor = descriptor;  // kept for the life of the process
  }
  return attributes;
}

}  // namespace

ProtectedRights::ProtectedRights()
    : m_folder(Attributes(kFolderRights)),
      m_file(Attributes(kFileRights)),
      m_ownedFolder(Attributes((std::wstring(L"O:BA") + kFolderRights).c_str())) {}

const ProtectedRights& ProtectedRights::Get() {
  static const ProtectedRights rights;
  return rights;
}

bool ProtectedRights::Apply(HANDLE handle, bool folder) const {
  const SECURITY_ATTRIBUTES* attributes = folder ? Folder() : File();
  if (attributes == nullptr)
    return false;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(attributes->lpSecurityDescriptor, &present, &dacl, &defaulted))
    return false;
  return SetSecurityInfo(handle, SE_FILE_OBJECT,
                         DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                         nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

bool ProtectedRights::ProtectExisting(HANDLE folder) const {
  // The descriptor is set on the folder alone: unlike SetSecurityInfo, this call passes
  // nothing on to the files and folders already inside, which stay as their owners made
  // them. The descriptor's own control ("P") protects the new entries from the parent's.
  return m_ownedFolder.lpSecurityDescriptor != nullptr &&
         SetKernelObjectSecurity(folder, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                 m_ownedFolder.lpSecurityDescriptor) != FALSE;
}

namespace {

// The rights that change a folder or what is in it.
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                      FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE |
                                      WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

bool Administrative(PSID sid, PSID alsoTrusted) {
  // NT SERVICE\TrustedInstaller, which owns the system's own folders.
  static const PSID installer = [] {
    PSID made = nullptr;  // kept for the life of the process
    ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                           &made);
    return made;
  }();
  return IsWellKnownSid(sid, WinLocalSystemSid) ||
         IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         (installer != nullptr && EqualSid(sid, installer)) ||
         (alsoTrusted != nullptr && EqualSid(sid, alsoTrusted));
}

// Under Wine, the user every program runs as; null on Windows.
PSID WineUser() {
  static const struct User {
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    PSID sid = nullptr;
    User() {
      HANDLE token = nullptr;
      DWORD size = 0;
      if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr &&
          OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size))
          sid = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
        CloseHandle(token);
      }
    }
  } user;
  return user.sid;
}

}  // namespace

bool OnlyAdministratorsMayChange(PSECURITY_DESCRIPTOR descriptor, PSID alsoTrusted) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  PACL dacl = nullptr;
  ACL_SIZE_INFORMATION size{};
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr ||
      !Administrative(owner, alsoTrusted) ||
      !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present ||
      dacl == nullptr ||  // no list at all lets everyone do anything
      !GetAclInformation(dacl, &size, sizeof size, AclSizeInformation)) {
    return false;
  }
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry))
      return false;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE)
      continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
      return false;  // an entry of a kind whose grantee is not read here
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    PSID grantee = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & kChangeRights) != 0 && !Administrative(grantee, alsoTrusted) &&
        !IsWellKnownSid(grantee, WinCreatorOwnerSid)) {
      return false;
    }
  }
  return true;
}

bool OnlyAdministratorsMayChange(HANDLE folder) {
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  return GetSecurityInfo(folder, SE_FILE_OBJECT,
                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                         nullptr, nullptr, descriptor.put()) == ERROR_SUCCESS &&
         OnlyAdministratorsMayChange(descriptor.get(), WineUser());
}
