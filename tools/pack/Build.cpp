#include "tools/pack/Build.h"

#include <libdeflate.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "core/inflate/ResourceInflater.h"
#include "core/package/PayloadPackage.h"
#include "core/package/Utf8.h"
#include "tools/pack/CaseFolding.h"
#include "tools/pack/HostFiles.h"

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
      return Fail(QuotedPath(folder) + ": more than " + std::to_string(kMaxFolders) +
                  " folders to walk; symbolic links lead to the same folders many times over");
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
      return Fail(QuotedPath(folder) + ": " + std::strerror(errno));
    const DirectoryId id{st.st_dev, st.st_ino};
    if (std::find(stack_.begin(), stack_.end(), id) != stack_.end()) {
      return Fail(QuotedPath(folder) + ": a symbolic-link loop leads back to a folder above it");
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
        return Fail(QuotedPath(e.path) + ": the name is not valid UTF-8");
      }
      if (e.name.find(u'\\') != std::u16string::npos) {
        return Fail(QuotedPath(e.path) +
                    ": '\\' separates folders on Windows and cannot be in a name");
      }
      const PackageFault fault = CheckPathName(e.name);
      if (fault != PackageFault::kNone) {
        return Fail(QuotedPath(e.path) + ": Windows cannot hold this name (" +
                    DescribePackageFault(fault) + ")");
      }
      entries.push_back(std::move(e));
    }
    if (ec)
      return Fail(QuotedPath(folder) + ": cannot read the folder: " + ec.message());

    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return Folded(a.name) < Folded(b.name); });
    for (std::size_t i = 1; i < entries.size(); ++i) {
      if (Folded(entries[i - 1].name) == Folded(entries[i].name)) {
        return Fail(QuotedPath(entries[i - 1].path) + " and " + QuotedPath(entries[i].path) +
                    ": names that differ only in letter case are one name on Windows");
      }
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });

    for (const Entry& e : entries) {
      const std::u16string relative = prefix.empty() ? e.name : prefix + u"\\" + e.name;
      const fs::file_status status = fs::status(e.path, ec);
      if (ec)
        return Fail(QuotedPath(e.path) + ": " + ec.message());
      if (fs::is_directory(status)) {
        const std::size_t files = files_->size();
        const std::size_t warnings = stats_->warnings.size();
        if (!Walk(e.path, relative))
          return false;
        if (files_->size() == files) {  // one warning for the whole empty tree
          stats_->warnings.resize(warnings);
          stats_->warnings.push_back(
              QuotedPath(e.path) + ": an empty folder is not stored (a package holds files only)");
        }
        continue;
      }
      if (!fs::is_regular_file(status)) {
        return Fail(QuotedPath(e.path) + ": not a regular file");
      }
      if (relative.size() > maxPath_) {
        return Fail(QuotedPath(e.path) + ": the relative path is " +
                    std::to_string(relative.size()) + " UTF-16 code units long; the limit is " +
                    std::to_string(maxPath_));
      }
      const std::uint64_t size = fs::file_size(e.path, ec);
      if (ec)
        return Fail(QuotedPath(e.path) + ": " + ec.message());
      total_ += kPackageHeaderBytes + std::min<std::uint64_t>(size, kPackageLimit);
      if (total_ > kPackageLimit) {
        return Fail(QuotedPath(e.path) +
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
    *error = QuotedPath(folder) + ": not a folder";
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
      *error = QuotedPath(f.path) + ": the package would exceed 104,857,600 bytes";
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
