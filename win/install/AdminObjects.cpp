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
  static const SECURITY_ATTRIBUTES attributes = [] {
    SECURITY_ATTRIBUTES made{sizeof made, nullptr, FALSE};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"O:BAD:(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1, &descriptor, nullptr)) {
      made.lpSecurityDescriptor = descriptor;  // kept for the life of the process
    }
    return made;
  }();
  return attributes.lpSecurityDescriptor != nullptr ? &attributes : nullptr;
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
