#include "tools/pack/Pack.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "core/inflate/ResourceInflater.h"
#include "core/integrity/InstallerDigest.h"
#include "core/integrity/PeImage.h"
#include "core/package/PayloadPackage.h"
#include "core/package/Utf8.h"
#include "core/product/Product.h"
#include "tools/pack/CaseFolding.h"

namespace fs = std::filesystem;

namespace {

struct Found {
  std::u16string relative;
  fs::path path;
  std::uint64_t size;
};

struct DirectoryId {
  dev_t device;
  ino_t inode;
  bool operator==(const DirectoryId&) const = default;
};

std::string Quote(const fs::path& path) {
  return "'" + path.string() + "'";
}

// A name as NTFS compares it: unit by unit, without letter case.
std::u16string Folded(std::u16string s) {
  std::transform(s.begin(), s.end(), s.begin(), SimpleCaseFold);
  return s;
}

// Most folders a walk visits. Symbolic links that lead to the same folders many times over
// (not a loop) multiply a tree: with files in it the package's size limit stops the walk,
// without them only this does. The reference payload (1,125 files) has 28 folders.
constexpr std::size_t kMaxFolders = 16384;

class Walker {
 public:
  Walker(std::size_t maxPath, std::vector<Found>* files, PackStats* stats, std::string* error)
      : maxPath_(maxPath), files_(files), stats_(stats), error_(error) {}

  // The package's size so far: every record found, header and data.
  std::uint64_t total() const { return total_; }

  // Adds the files below `folder` (whose relative path is `prefix`) in package order. The
  // package's size limit is checked at every file, so a tree that the links multiply is
  // refused as soon as it is too large, before it takes the memory of its whole list.
  bool Walk(const fs::path& folder, const std::u16string& prefix) {
    if (++folders_ > kMaxFolders) {
      return Fail(Quote(folder) + ": more than " + std::to_string(kMaxFolders) +
                  " folders to walk; symbolic links lead to the same folders many times over");
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
      return Fail(Quote(folder) + ": " + std::strerror(errno));
    const DirectoryId id{st.st_dev, st.st_ino};
    if (std::find(stack_.begin(), stack_.end(), id) != stack_.end()) {
      return Fail(Quote(folder) + ": a symbolic-link loop leads back to a folder above it");
    }
    stack_.push_back(id);

    struct Entry {
      std::u16string name;
      fs::path path;
    };
    std::vector<Entry> entries;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      Entry e{{}, it->path()};
      if (!Utf8ToUtf16(e.path.filename().string(), &e.name)) {
        return Fail(Quote(e.path) + ": the name is not valid UTF-8");
      }
      if (e.name.find(u'\\') != std::u16string::npos) {
        return Fail(Quote(e.path) + ": '\\' separates folders on Windows and cannot be in a name");
      }
      const PackageFault fault = CheckPathName(e.name);
      if (fault != PackageFault::kNone) {
        return Fail(Quote(e.path) + ": Windows cannot hold this name (" +
                    DescribePackageFault(fault) + ")");
      }
      entries.push_back(std::move(e));
    }
    if (ec)
      return Fail(Quote(folder) + ": cannot read the folder: " + ec.message());

    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return Folded(a.name) < Folded(b.name); });
    for (std::size_t i = 1; i < entries.size(); ++i) {
      if (Folded(entries[i - 1].name) == Folded(entries[i].name)) {
        return Fail(Quote(entries[i - 1].path) + " and " + Quote(entries[i].path) +
                    ": names that differ only in letter case are one name on Windows");
      }
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });

    for (const Entry& e : entries) {
      const std::u16string relative = prefix.empty() ? e.name : prefix + u"\\" + e.name;
      const fs::file_status status = fs::status(e.path, ec);
      if (ec)
        return Fail(Quote(e.path) + ": " + ec.message());
      if (fs::is_directory(status)) {
        const std::size_t files = files_->size();
        const std::size_t warnings = stats_->warnings.size();
        if (!Walk(e.path, relative))
          return false;
        if (files_->size() == files) {  // one warning for the whole empty tree
          stats_->warnings.resize(warnings);
          stats_->warnings.push_back(
              Quote(e.path) + ": an empty folder is not stored (a package holds files only)");
        }
        continue;
      }
      if (!fs::is_regular_file(status)) {
        return Fail(Quote(e.path) + ": not a regular file");
      }
      if (relative.size() > maxPath_) {
        return Fail(Quote(e.path) + ": the relative path is " + std::to_string(relative.size()) +
                    " UTF-16 code units long; the limit is " + std::to_string(maxPath_));
      }
      const std::uint64_t size = fs::file_size(e.path, ec);
      if (ec)
        return Fail(Quote(e.path) + ": " + ec.message());
      total_ += kPackageHeaderBytes + std::min<std::uint64_t>(size, kPackageLimit);
      if (total_ > kPackageLimit) {
        return Fail(Quote(e.path) +
                    ": the package would exceed 104,857,600 bytes with this file (" +
                    std::to_string(files_->size() + 1) + " files so far)");
      }
      files_->push_back({relative, e.path, size});
    }
    stack_.pop_back();
    return true;
  }

 private:
  bool Fail(const std::string& message) {
    *error_ = message;
    return false;
  }

  std::size_t maxPath_;
  std::vector<Found>* files_;
  PackStats* stats_;
  std::string* error_;
  std::vector<DirectoryId> stack_;
  std::uint64_t total_ = 0;
  std::size_t folders_ = 0;
};

std::string StoredText(const std::uint16_t* units, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += units[i] >= 0x20 && units[i] < 0x7f ? static_cast<char>(units[i]) : '?';
  }
  return text;
}

// True for kOk; otherwise the status, described, goes to `error`.
bool Ok(PeStatus status, std::string* error) {
  if (status == PeStatus::kOk)
    return true;
  *error = DescribePeStatus(status);
  return false;
}

}  // namespace

bool BuildPayloadPackage(const fs::path& folder,
                         std::size_t maxPath,
                         const PackProgress& progress,
                         Bytes* package,
                         PackStats* stats,
                         std::string* error) {
  *stats = PackStats{};
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    *error = Quote(folder) + ": not a folder";
    return false;
  }
  std::vector<Found> files;
  Walker walker(std::min(maxPath, kMaxFullPathUnits), &files, stats, error);
  if (!walker.Walk(folder, u""))
    return false;

  const std::uint64_t total = walker.total();
  Bytes result;
  result.reserve(static_cast<std::size_t>(total));
  Bytes content;
  for (const Found& f : files) {
    // A file that grew since the walk is read only as far as the package has room.
    if (!ReadWholeFile(f.path, &content, error, kPackageLimit - result.size()))
      return false;
    if (!AppendPackageRecord(&result, f.relative, content.data(), content.size()) ||
        result.size() > kPackageLimit) {
      *error = Quote(f.path) + ": the package would exceed 104,857,600 bytes";
      return false;
    }
    stats->dataBytes += content.size();
    stats->longestPath = std::max(stats->longestPath, f.relative.size());
    if (progress)
      progress("reading", result.size(), total);
  }
  stats->files = files.size();
  *package = std::move(result);
  return true;
}

bool CompressResource(const Bytes& data,
                      int level,
                      std::uint32_t limit,
                      Bytes* compressed,
                      std::string* error) {
  if (data.size() > limit) {
    *error = "the data are " + std::to_string(data.size()) + " bytes; the limit is " +
             std::to_string(limit);
    return false;
  }
  if (level < 1 || level > 12) {
    *error = "the compression level must be 1 to 12";
    return false;
  }
  libdeflate_compressor* c = libdeflate_alloc_compressor(level);
  if (c == nullptr) {
    *error = "out of memory for the compressor";
    return false;
  }
  Bytes out(libdeflate_deflate_compress_bound(c, data.size()));
  const std::size_t n =
      libdeflate_deflate_compress(c, data.data(), data.size(), out.data(), out.size());
  libdeflate_free_compressor(c);
  if (n == 0) {
    *error = "compression failed";
    return false;
  }
  out.resize(n);
  // The installer decodes with its own inflater: prove it reproduces the data exactly.
  Bytes check(data.size() + 1);
  int result = -1;
  const std::uint32_t got =
      InflateResource(out.data(), static_cast<std::uint32_t>(out.size()), check.data(),
                      static_cast<std::uint32_t>(data.size()), &result);
  if (result != kInflateOk || got != data.size() ||
      !std::equal(data.begin(), data.end(), check.begin())) {
    *error = "the compressed data do not inflate back to the original (inflater result " +
             std::to_string(result) + ")";
    return false;
  }
  *compressed = std::move(out);
  return true;
}

bool ClearChecksum(Bytes* image, std::uint32_t* position, std::string* error) {
  PeImage pe;
  if (!Ok(pe.Parse(image->data(), image->size()), error))
    return false;
  *position = pe.ChecksumPosition();
  std::fill_n(image->begin() + *position, 4, 0);
  return true;
}

bool ComputeStamp(const Bytes& image,
                  Md5Digest* digest,
                  std::uint32_t* position,
                  std::string* error) {
  if (image.size() >= kInstallerSizeLimit) {
    *error = "the file is " + std::to_string(image.size()) +
             " bytes; an installer must be shorter than 104,857,600";
    return false;
  }
  PeImage pe;
  if (!Ok(pe.Parse(image.data(), image.size()), error))
    return false;
  if (pe.Checksum() != 0) {
    *error = "the PE header checksum is set; it must stay 0 (it would change after stamping)";
    return false;
  }
  const FileRange certificates = pe.DataDirectory(4);
  if (certificates.position != 0 || certificates.size != 0) {
    *error =
        "the file is signed: stamping would change what its signature covers and break it; "
        "stamp the unsigned file, then sign it";
    return false;
  }
  if (image.size() > pe.EndOfSections()) {
    *error = std::to_string(image.size() - pe.EndOfSections()) +
             " bytes follow the last section; nothing may be appended to an installer";
    return false;
  }
  if (image.size() % 8 != 0) {
    *error =
        "the file's length is not a multiple of 8: a signature would pad it first, and the "
        "padding would change what the digest covers";
    return false;
  }
  FileRange block;
  std::uint32_t blockId = 0;
  if (!Ok(pe.FindDigestBlock(&block, &blockId), error))
    return false;
  StoredDigest stored;
  const StoredDigestStatus status =
      ReadStoredDigest(image.data() + block.position, block.size, blockId, &stored);
  if (status == StoredDigestStatus::kWrongLength) {
    *error = "string 32 has " + std::to_string(stored.length) + " characters; it must have " +
             std::to_string(kDigestStringUnits) + " placeholder characters";
    return false;
  }
  if (status != StoredDigestStatus::kOk) {
    *error = DescribeStoredDigestStatus(status);
    return false;
  }
  if (!Ok(ComputeInstallerDigest(image.data(), image.size(), digest), error))
    return false;
  *position = block.position + 2;
  return true;
}

bool VerifyImage(const Bytes& image, VerifyReport* report, std::string* error) {
  *report = VerifyReport{};
  PeImage pe;
  if (!Ok(image.empty() ? PeStatus::kEmptyFile : pe.Parse(image.data(), image.size()), error))
    return false;
  FileRange block;
  std::uint32_t blockId = 0;
  if (!Ok(pe.FindDigestBlock(&block, &blockId), error))
    return false;
  StoredDigest stored;
  const StoredDigestStatus read =
      ReadStoredDigest(image.data() + block.position, block.size, blockId, &stored);
  report->stored = StoredText(stored.units, std::min(stored.length, kDigestStringUnits));
  if (read == StoredDigestStatus::kStringsBelow32 || read == StoredDigestStatus::kNoString32) {
    *error = DescribeStoredDigestStatus(read);
    return false;
  }
  Md5Digest digest;
  InstallerParts parts;
  if (!Ok(ComputeInstallerDigest(image.data(), image.size(), &digest, &parts), error))
    return false;
  report->computed = DigestHex(digest);
  report->signatureBytes = parts.certificateTable.size;
  report->status =
      CheckStoredDigest(image.data() + block.position, block.size, blockId, digest, &stored);
  report->ok = report->status == StoredDigestStatus::kOk;
  return true;
}

bool ReadInstallerResources(const Bytes& image,
                            Bytes* package,
                            Bytes* uninstaller,
                            std::string* error) {
  PeImage pe;
  if (!Ok(pe.Parse(image.data(), image.size()), error))
    return false;
  struct Resource {
    std::uint32_t id;
    std::uint32_t limit;
    Bytes* out;
    const char* what;
  };
  for (const Resource& r : {Resource{137, kPackageLimit, package, "payload package"},
                            Resource{139, kUninstallerLimit, uninstaller, "uninstaller"}}) {
    FileRange range;
    const PeStatus status = pe.FindNamedTypeResource(u"FILE", r.id, &range);
    if (status != PeStatus::kOk) {
      *error = std::string("resource FILE ") + std::to_string(r.id) + " (" + r.what +
               "): " + DescribePeStatus(status);
      return false;
    }
    Bytes out(r.limit);
    int result = -1;
    const std::uint32_t n =
        InflateResource(image.data() + range.position, range.size, out.data(), r.limit, &result);
    if (result != kInflateOk) {
      *error = std::string("resource FILE ") + std::to_string(r.id) + " (" + r.what +
               ") does not inflate cleanly (inflater result " + std::to_string(result) + ")";
      return false;
    }
    out.resize(n);
    out.shrink_to_fit();
    *r.out = std::move(out);
  }
  const PackageCheck check = ValidatePackage(package->data(), package->size());
  if (!check.ok()) {
    *error = "the payload package is damaged: " + check.Describe();
    return false;
  }
  return true;
}

namespace {

std::string Sha256(const std::uint8_t* data, std::size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

void PackageManifest(const Bytes& package, std::vector<ManifestLine>* lines) {
  PayloadPackage walker(package.data(), package.size());
  PackageRecord r;
  while (walker.Next(&r)) {
    lines->push_back(
        {Utf16ToUtf8(std::u16string_view(r.path, r.pathLength)), r.size, Sha256(r.data, r.size)});
  }
}

}  // namespace

bool InstallerManifest(const Bytes& image, std::vector<ManifestLine>* lines, std::string* error) {
  Bytes package, uninstaller;
  if (!ReadInstallerResources(image, &package, &uninstaller, error))
    return false;
  lines->clear();
  lines->push_back({Utf16ToUtf8(kUninstallerName), uninstaller.size(),
                    Sha256(uninstaller.data(), uninstaller.size())});
  PackageManifest(package, lines);
  return true;
}

bool FolderManifest(const fs::path& folder, std::vector<ManifestLine>* lines, std::string* error) {
  Bytes package;
  PackStats stats;
  if (!BuildPayloadPackage(folder, kPackMaxRelativePath, {}, &package, &stats, error))
    return false;
  lines->clear();
  PackageManifest(package, lines);
  return true;
}

bool ExtractInstaller(const Bytes& image,
                      const fs::path& folder,
                      PackStats* stats,
                      std::string* error) {
  *stats = PackStats{};
  Bytes package, uninstaller;
  if (!ReadInstallerResources(image, &package, &uninstaller, error))
    return false;
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    *error = Quote(folder) + ": " + ec.message();
    return false;
  }
  if (!WriteFileAtomically(folder / Utf16ToUtf8(kUninstallerName), uninstaller, error))
    return false;
  PayloadPackage walker(package.data(), package.size());
  PackageRecord r;
  while (walker.Next(&r)) {
    std::string relative = Utf16ToUtf8(std::u16string_view(r.path, r.pathLength));
    std::replace(relative.begin(), relative.end(), '\\', '/');
    const fs::path target = folder / relative;
    fs::create_directories(target.parent_path(), ec);
    if (ec) {
      *error = Quote(target.parent_path()) + ": " + ec.message();
      return false;
    }
    if (!WriteFileAtomically(target, Bytes(r.data, r.data + r.size), error))
      return false;
    ++stats->files;
    stats->dataBytes += r.size;
  }
  return true;
}

bool ReadWholeFile(const fs::path& path, Bytes* bytes, std::string* error, std::uint64_t limit) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = Quote(path) + ": cannot open for reading: " + std::strerror(errno);
    return false;
  }
  bytes->clear();
  std::uint8_t chunk[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      *error = Quote(path) + ": read error: " + std::strerror(errno);
      ::close(fd);
      bytes->clear();
      return false;
    }
    if (n == 0)
      break;
    if (static_cast<std::uint64_t>(n) > limit - bytes->size()) {
      *error = Quote(path) + ": larger than " + std::to_string(limit) + " bytes";
      ::close(fd);
      bytes->clear();
      return false;
    }
    bytes->insert(bytes->end(), chunk, chunk + n);
  }
  ::close(fd);
  return true;
}

namespace {

// Creates `path` for writing, never through a symbolic link and never over a file that is
// already there; -1 with errno otherwise.
int CreateExclusively(const fs::path& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

bool WriteAll(int fd, const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool WriteFileAtomically(const fs::path& path, const Bytes& bytes, std::string* error) {
  fs::path temporary = path;
  temporary += ".partial";
  int fd = CreateExclusively(temporary);
  if (fd < 0 && errno == EEXIST) {
    // A regular file is what an interrupted run leaves: it goes. Anything else (a link, a
    // folder) someone else put there, and it stays. unlink() removes a link itself, never
    // what it names, and a file that comes back meanwhile makes the second create fail.
    struct stat st {};
    if (::lstat(temporary.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      *error = Quote(temporary) + ": is in the way and is not a file an earlier run left; " +
               "remove it";
      return false;
    }
    if (::unlink(temporary.c_str()) == 0)
      fd = CreateExclusively(temporary);
  }
  if (fd < 0) {
    *error = Quote(temporary) + ": cannot create: " + std::strerror(errno);
    return false;
  }
  const bool written = WriteAll(fd, bytes);
  const int writeErrno = errno;
  if (::close(fd) != 0 || !written) {
    *error = Quote(path) + ": cannot write: " + std::strerror(written ? errno : writeErrno);
    ::unlink(temporary.c_str());
    return false;
  }
  std::error_code ec;
  fs::rename(temporary, path, ec);
  if (ec) {
    *error = Quote(path) + ": cannot write: " + ec.message();
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}
