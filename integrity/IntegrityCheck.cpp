#include "integrity/IntegrityCheck.h"

#include <memory>
#include <new>
#include <string>

#include "install/UniqueHandle.h"
#include "integrity/InstallerDigest.h"

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

namespace {

// A read-only view of a whole file of 1 to 104,857,599 bytes; data() is null when the
// file cannot be opened or mapped or has another size. Only the pages read through it are
// brought into memory.
class MappedFile {
 public:
  explicit MappedFile(const wchar_t* path)
      : file_(CreateFileW(path,
                          GENERIC_READ,
                          FILE_SHARE_READ,
                          nullptr,
                          OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL,
                          nullptr)),
        mapping_(nullptr) {
    LARGE_INTEGER length;
    if (!file_.valid() || !GetFileSizeEx(file_.get(), &length) || length.QuadPart <= 0 ||
        static_cast<unsigned long long>(length.QuadPart) >= kInstallerSizeLimit) {
      return;
    }
    mapping_.reset(CreateFileMappingW(file_.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping_.valid())
      return;
    view_ = static_cast<const std::uint8_t*>(MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, 0));
    if (view_ != nullptr)
      size_ = static_cast<std::size_t>(length.QuadPart);
  }
  ~MappedFile() {
    if (view_ != nullptr)
      UnmapViewOfFile(view_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  const std::uint8_t* data() const { return view_; }
  std::size_t size() const { return size_; }

 private:
  UniqueHandle file_;
  UniqueHandle mapping_;
  const std::uint8_t* view_ = nullptr;
  std::size_t size_ = 0;
};

// The digest of the file behind `file`, opened at `path`. The headers and the resource
// directory are read through the view, which brings only their pages into memory; the bytes
// hashed come in large reads, so that checking a file of any size takes a fixed amount of
// memory. The view's handle shares reading only, so nobody writes the file meanwhile; a
// file that still ends early fails the check.
bool DigestOf(const MappedFile& file,
              const PeImage& image,
              const wchar_t* path,
              Md5Digest* digest) {
  InstallerParts parts;
  if (FindInstallerParts(image, &parts) != PeStatus::kOk)
    return false;
  const UniqueHandle reading(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  constexpr DWORD kChunk = 1 << 20;
  const std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kChunk]);
  if (!reading.valid() || !buffer)
    return false;
  static constexpr std::uint8_t kZeros[8] = {};
  Md5 md5;
  for (const DigestSpan& span : DigestSpans(parts, file.size())) {
    if (span.zeros) {
      md5.Update(kZeros, span.length);
      continue;
    }
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(span.position);
    if (!SetFilePointerEx(reading.get(), at, nullptr, FILE_BEGIN))
      return false;
    for (std::size_t left = span.length; left > 0;) {
      DWORD got = 0;
      const DWORD wanted = left < kChunk ? static_cast<DWORD>(left) : kChunk;
      if (!ReadFile(reading.get(), buffer.get(), wanted, &got, nullptr) || got == 0)
        return false;
      md5.Update(buffer.get(), got);
      left -= got;
    }
  }
  *digest = md5.Finish();
  return true;
}

}  // namespace

bool FindDigestBlock(const wchar_t* path, std::uint32_t* position, std::uint32_t* size) {
  const MappedFile file(path);
  PeImage image;
  FileRange block;
  std::uint32_t blockId = 0;
  if (file.data() == nullptr || image.Parse(file.data(), file.size()) != PeStatus::kOk ||
      image.FindDigestBlock(&block, &blockId) != PeStatus::kOk) {
    return false;
  }
  *position = block.position;
  *size = block.size;
  return true;
}

bool FileDigest(const wchar_t* path, wchar_t* digest) {
  const MappedFile file(path);
  PeImage image;
  Md5Digest md5;
  if (file.data() == nullptr || image.Parse(file.data(), file.size()) != PeStatus::kOk ||
      !DigestOf(file, image, path, &md5)) {
    return false;
  }
  const std::string hex = DigestHex(md5);
  for (std::size_t i = 0; i < hex.size(); ++i)
    digest[i] = static_cast<wchar_t>(hex[i]);
  digest[hex.size()] = L'\0';
  return true;
}

// String 32 is read from the digest block in the file, by the rule the packager's verify
// follows (CheckStoredDigest), not through the resource loader: the loader would take any
// length the block declares, and could pick another language's block than the one the
// digest leaves out.
bool VerifyFileIntegrity(const wchar_t* path) {
  const MappedFile file(path);
  PeImage image;
  FileRange block;
  std::uint32_t blockId = 0;
  StoredDigest stored;
  if (file.data() == nullptr || image.Parse(file.data(), file.size()) != PeStatus::kOk ||
      image.FindDigestBlock(&block, &blockId) != PeStatus::kOk ||
      ReadStoredDigest(file.data() + block.position, block.size, blockId, &stored) !=
          StoredDigestStatus::kOk) {
    return false;
  }
  Md5Digest digest;
  return DigestOf(file, image, path, &digest) &&
         CheckStoredDigest(file.data() + block.position, block.size, blockId, digest, &stored) ==
             StoredDigestStatus::kOk;
}

bool VerifyInstallerIntegrity() {
  const std::wstring path = ModulePath();
  return !path.empty() && VerifyFileIntegrity(path.c_str());
}
