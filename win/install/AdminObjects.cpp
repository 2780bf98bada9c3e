#include "win/install/AdminObjects.h"

#include <aclapi.h>
#include <ntsecapi.h>
#include <sddl.h>

#include <string>

#include "core/product/Product.h"
#include "win/base/Owners.h"

namespace {

constexpr wchar_t kGrantPrefix[] = L"Global\\vorlixGrant-";
constexpr std::size_t kGrantDigits = 32;

std::wstring GrantName(const std::wstring& digits) {
  return kGrantPrefix + digits;
}

bool IsGrantDigits(const std::wstring& text) {
  if (text.size() != kGrantDigits)
    return false;
  for (const wchar_t c : text) {
    if (!((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F')))
      return false;
  }
  return true;
}

}  // namespace

std::wstring RandomDigits() {
  unsigned char bytes[kGrantDigits / 2];
  if (!RtlGenRandom(bytes, sizeof bytes))
    return {};
  static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
  std::wstring digits;
  for (const unsigned char b : bytes) {
    digits += kHex[b >> 4];
    digits += kHex[b & 15];
  }
  return digits;
}

const SECURITY_ATTRIBUTES* AdminObjectRights() {
  // Kept for the life of the process, never freed: another thread may still use it while
  // the process exits.
  static const SddlAttributes* const attributes =
      new SddlAttributes(L"O:BAD:(A;;GA;;;SY)(A;;GA;;;BA)");
  return attributes->get();
}

bool OwnedByAdministrators(HANDLE object) {
  PSID owner = nullptr;
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                      nullptr, nullptr, descriptor.put()) != ERROR_SUCCESS) {
    return false;
  }
  return owner != nullptr && (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                              IsWellKnownSid(owner, WinLocalSystemSid));
}

InstallerGrant::InstallerGrant() {
  // A name already taken is someone else's: another is drawn.
  for (int attempt = 0; attempt < 4 && !event_.valid(); ++attempt) {
    const std::wstring digits = RandomDigits();
    if (digits.empty())
      return;
    event_.reset(CreateEventW(const_cast<SECURITY_ATTRIBUTES*>(AdminObjectRights()), TRUE, FALSE,
                              GrantName(digits).c_str()));
    if (event_.valid() && GetLastError() == ERROR_ALREADY_EXISTS) {
      event_.reset();
      continue;
    }
    if (event_.valid() && !SetEnvironmentVariableW(product::kStartedByInstaller, digits.c_str()))
      event_.reset();
  }
}

InstallerGrant::~InstallerGrant() {
  if (event_.valid())
    SetEnvironmentVariableW(product::kStartedByInstaller, nullptr);
}

bool GrantedByInstaller() {
  wchar_t value[kGrantDigits + 2] = {};
  const DWORD n = GetEnvironmentVariableW(product::kStartedByInstaller, value, kGrantDigits + 2);
  if (n == 0 || n > kGrantDigits || !IsGrantDigits(std::wstring(value, n)))
    return false;
  const UniqueHandle grant(
      OpenEventW(READ_CONTROL | SYNCHRONIZE, FALSE, GrantName(std::wstring(value, n)).c_str()));
  return grant.valid() && OwnedByAdministrators(grant.get());
}

namespace {

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

// The owner and access list of the file or folder behind `handle`; none when unreadable.
void ReadDescriptor(HANDLE handle, LocalMemory<PSECURITY_DESCRIPTOR>* descriptor) {
  GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                  nullptr, nullptr, nullptr, nullptr, descriptor->put());
}

}  // namespace

bool OnlyAdministratorsHave(PSECURITY_DESCRIPTOR descriptor,
                            ACCESS_MASK rights,
                            bool itselfOnly,
                            PSID alsoTrusted) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  PACL dacl = nullptr;
  ACL_SIZE_INFORMATION size{};
  if (descriptor == nullptr || !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
      owner == nullptr || !Administrative(owner, alsoTrusted) ||
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
    if (header->AceType == ACCESS_DENIED_ACE_TYPE ||
        (itselfOnly && (header->AceFlags & INHERIT_ONLY_ACE) != 0)) {
      continue;
    }
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
      return false;  // an entry of a kind whose grantee is not read here
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    PSID grantee = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & rights) != 0 && !Administrative(grantee, alsoTrusted) &&
        !IsWellKnownSid(grantee, WinCreatorOwnerSid)) {
      return false;
    }
  }
  return true;
}

bool OnlyAdministratorsMayChange(PSECURITY_DESCRIPTOR descriptor, PSID alsoTrusted) {
  return OnlyAdministratorsHave(descriptor, kChangeRights, false, alsoTrusted);
}

bool OnlyAdministratorsMayChange(HANDLE folder) {
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  ReadDescriptor(folder, &descriptor);
  return OnlyAdministratorsMayChange(descriptor.get(), WineUser());
}

bool OthersMayRemove(HANDLE folder) {
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  ReadDescriptor(folder, &descriptor);
  return !OnlyAdministratorsHave(descriptor.get(), kRemoveItself, true, WineUser());
}

bool OthersMayRemoveEntries(HANDLE folder) {
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  ReadDescriptor(folder, &descriptor);
  return !OnlyAdministratorsHave(descriptor.get(), kRemoveEntries, true, WineUser());
}
