#include "win/integrity/IntegrityCheck.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "core/integrity/InstallerDigest.h"
#include "win/base/WorkingSet.h"

UniqueHandle OpenForCheck(const wchar_t* path) {
  return UniqueHandle(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

namespace {

// A read-only view of the whole file behind `file`, of 1 to 104,857,599 bytes; data() is
// null when it cannot be mapped or has another size. Only the pages read through it are
// brought into memory.
class FileView {
 public:
  explicit FileView(HANDLE file) {
    LARGE_INTEGER length;
    if (file == nullptr || file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &length) ||
        length.QuadPart <= 0 ||
        static_cast<unsigned long long>(length.QuadPart) >= kInstallerSizeLimit) {
      return;
    }
    mapping_.reset(CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping_.valid())
      return;
    view_ = static_cast<const std::uint8_t*>(MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, 0));
    if (view_ != nullptr)
      size_ = static_cast<std::size_t>(length.QuadPart);
  }
  ~FileView() {
    if (view_ != nullptr)
      UnmapViewOfFile(view_);
  }
  FileView(const FileView&) = delete;
  FileView& operator=(const FileView&) = delete;
  const std::uint8_t* data() const { return view_; }
  std::size_t size() const { return size_; }
  // Parses the view as a PE file.
  bool Parse(PeImage* image) const {
    return view_ != nullptr && image->Parse(view_, size_) == PeStatus::kOk;
  }

 private:
  UniqueHandle mapping_;
  const std::uint8_t* view_ = nullptr;
  std::size_t size_ = 0;
};

// The bytes of the file that the loaded image must hold too: the resource section's raw
// data, as far as the image maps it, and where the image holds them.
struct ImageRange {
  std::size_t position = 0;
  std::size_t size = 0;
  const std::uint8_t* loaded = nullptr;
};

// The section of a PE layout that holds its resource directory (at `rva`), or null.
template <class Section, class Fields>
const Section* HoldingResources(const Section* first,
                                std::size_t count,
                                std::uint32_t rva,
                                Fields fields) {
  for (std::size_t i = 0; i < count && rva != 0; ++i) {
    const PeSection s = fields(first[i]);
    if (rva >= s.virtualAddress && rva - s.virtualAddress < std::min(s.virtualSize, s.rawSize))
      return first + i;
  }
  return nullptr;
}

// The resource section of the file `image`, which must be the loaded image's at `base`: the
// same place in memory and in the file, the same sizes. False when either has none or they
// differ - the file is then not the one the system loaded.
bool ResourceSection(const PeImage& image, HMODULE base, ImageRange* range) {
  const auto* loaded = reinterpret_cast<const std::uint8_t*>(base);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(loaded);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(loaded + dos->e_lfanew);
  const IMAGE_SECTION_HEADER* inMemory = HoldingResources(
      IMAGE_FIRST_SECTION(nt), nt->FileHeader.NumberOfSections,
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress,
      [](const IMAGE_SECTION_HEADER& h) {
        return PeSection{h.VirtualAddress, h.Misc.VirtualSize, h.PointerToRawData, h.SizeOfRawData};
      });
  const PeSection* inFile =
      HoldingResources(image.Sections().data(), image.Sections().size(),
                       image.DataDirectory(2).position, [](const PeSection& s) { return s; });
  if (inMemory == nullptr || inFile == nullptr ||
      inFile->virtualAddress != inMemory->VirtualAddress ||
      inFile->virtualSize != inMemory->Misc.VirtualSize ||
      inFile->rawPosition != inMemory->PointerToRawData ||
      inFile->rawSize != inMemory->SizeOfRawData) {
    return false;
  }
  const std::uint32_t mapped = std::min(inFile->virtualSize, inFile->rawSize);
  if (std::size_t{inFile->rawPosition} + mapped > image.Size())
    return false;
  *range = {inFile->rawPosition, mapped, loaded + inFile->virtualAddress};
  return true;
}

// Whether the bytes `data` read from the file at `position` are the image's where they
// overlap `range`; the image's pages compared leave the working set.
bool SameAsImage(const std::uint8_t* data,
                 std::size_t position,
                 std::size_t length,
                 const ImageRange& range) {
  const std::size_t from = std::max(position, range.position);
  const std::size_t to = std::min(position + length, range.position + range.size);
  if (range.loaded == nullptr || from >= to)
    return true;
  const std::uint8_t* loaded = range.loaded + (from - range.position);
  const bool same = std::memcmp(data + (from - position), loaded, to - from) == 0;
  ReleasePages(loaded, to - from);
  return same;
}

// The digest of the file behind `file`, every byte read through `file` in large reads at
// explicit offsets, so that checking a file of any size takes a fixed amount of memory. With
// `compared`, the bytes of that range must also be the image's. A file that ends early fails.
bool DigestOf(HANDLE file,
              const InstallerParts& parts,
              std::size_t size,
              const ImageRange& compared,
              Md5Digest* digest) {
  constexpr DWORD kChunk = 1 << 20;
  const std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kChunk]);
  if (!buffer)
    return false;
  static constexpr std::uint8_t kZeros[8] = {};
  Md5 md5;
  for (const DigestSpan& span : DigestSpans(parts, size)) {
    if (span.zeros) {
      md5.Update(kZeros, span.length);
      continue;
    }
    for (std::size_t done = 0; done < span.length;) {
      const std::size_t at = span.position + done;
      OVERLAPPED offset{};
      offset.Offset = static_cast<DWORD>(at);
      offset.OffsetHigh = static_cast<DWORD>(static_cast<unsigned long long>(at) >> 32);
      DWORD got = 0;
      const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(span.length - done, kChunk));
      if (!ReadFile(file, buffer.get(), wanted, &got, &offset) || got == 0 ||
          !SameAsImage(buffer.get(), at, got, compared)) {
        return false;
      }
      md5.Update(buffer.get(), got);
      done += got;
    }
  }
  *digest = md5.Finish();
  return true;
}

}  // namespace

// String 32 is read from the digest block in the file, by the rule the packager's verify
// follows (CheckStoredDigest), not through the resource loader: the loader would take any
// length the block declares, and could pick another language's block than the one the
// digest leaves out. The block lies in the resource section, so with an image it is the
// image's block too.
bool VerifyFileIntegrity(HANDLE file, HMODULE image) {
  const FileView view(file);
  PeImage pe;
  InstallerParts parts;
  std::uint32_t blockId = 0;
  FileRange block;
  StoredDigest stored;
  if (!view.Parse(&pe) || pe.FindDigestBlock(&block, &blockId) != PeStatus::kOk ||
      FindInstallerParts(pe, &parts) != PeStatus::kOk ||
      ReadStoredDigest(view.data() + block.position, block.size, blockId, &stored) !=
          StoredDigestStatus::kOk) {
    return false;
  }
  ImageRange compared;
  if (image != nullptr) {
    // The digest does not read the block; it is compared here, the rest as it is read.
    if (!ResourceSection(pe, image, &compared) ||
        !SameAsImage(view.data() + block.position, block.position, block.size, compared)) {
      return false;
    }
  }
  Md5Digest digest;
  return DigestOf(file, parts, view.size(), compared, &digest) &&
         CheckStoredDigest(view.data() + block.position, block.size, blockId, digest, &stored) ==
             StoredDigestStatus::kOk;
}

bool VerifyFileIntegrity(const wchar_t* path) {
  const UniqueHandle file = OpenForCheck(path);
  return file.valid() && VerifyFileIntegrity(file.get());
}

bool VerifyInstallerIntegrity(UniqueHandle* held) {
  const std::wstring path = ModulePath();
  if (path.empty())
    return false;
  *held = OpenForCheck(path.c_str());
  return held->valid() && VerifyFileIntegrity(held->get(), GetModuleHandleW(nullptr));
}
