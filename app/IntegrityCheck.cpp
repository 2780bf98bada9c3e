#include "app/IntegrityCheck.h"

#include <cwchar>
#include <string>
#include <vector>

#include "app/InstallerDigest.h"

namespace {

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE)
      CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_;
};

// The running executable's full path, however long.
std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0)
      return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace

bool FindDigestBlock(const wchar_t* path, std::uint32_t* position, std::uint32_t* size) {
  const Handle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid())
    return false;
  LARGE_INTEGER length;
  if (!GetFileSizeEx(file.get(), &length) || length.QuadPart == 0 ||
      static_cast<unsigned long long>(length.QuadPart) >= kInstallerSizeLimit) {
    return false;
  }
  const Handle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping.valid())
    return false;
  const void* view = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0);
  if (view == nullptr)
    return false;
  PeImage image;
  FileRange block;
  std::uint32_t blockId = 0;
  const bool found = image.Parse(static_cast<const std::uint8_t*>(view),
                                 static_cast<std::size_t>(length.QuadPart)) == PeStatus::kOk &&
                     image.FindDigestBlock(&block, &blockId) == PeStatus::kOk;
  UnmapViewOfFile(view);
  if (!found)
    return false;
  *position = block.position;
  *size = block.size;
  return true;
}

bool FileDigest(const wchar_t* path, wchar_t* digest) {
  const Handle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid())
    return false;
  LARGE_INTEGER length;
  if (!GetFileSizeEx(file.get(), &length) || length.QuadPart <= 0 ||
      static_cast<unsigned long long>(length.QuadPart) >= kInstallerSizeLimit) {
    return false;
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length.QuadPart));
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD got = 0;
    if (!ReadFile(file.get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &got,
                  nullptr) ||
        got == 0) {
      return false;
    }
    done += got;
  }
  Md5Digest md5;
  if (ComputeInstallerDigest(bytes.data(), bytes.size(), &md5) != PeStatus::kOk)
    return false;
  const std::string hex = DigestHex(md5);
  for (std::size_t i = 0; i < hex.size(); ++i)
    digest[i] = static_cast<wchar_t>(hex[i]);
  digest[hex.size()] = L'\0';
  return true;
}

bool VerifyInstallerIntegrity() {
  wchar_t stored[100] = {};
  LoadStringW(GetModuleHandleW(nullptr), kDigestStringId, stored, 100);
  if (std::wcsncmp(stored, stored + kDigestHexUnits, kDigestHexUnits) != 0)
    return false;
  const std::wstring path = ModulePath();
  wchar_t computed[100] = {};
  if (path.empty() || !FileDigest(path.c_str(), computed))
    return false;
  return std::wcsncmp(stored, computed, kDigestHexUnits) == 0;
}
