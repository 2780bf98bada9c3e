#include "tools/pack/Build.h"

#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <system_error>
#include <thread>

#include "core/inflate/ResourceInflater.h"
#include "core/install/InstallFolder.h"
#include "core/package/PayloadPackage.h"
#include "core/package/Utf8.h"
#include "core/product/Product.h"
#include "tools/pack/CaseFolding.h"
#include "tools/pack/CodePage936.h"
#include "tools/pack/HostFiles.h"

namespace fs = std::filesystem;

namespace {

struct Found {
  std::u16string relative;
  fs::path path;
  std::uint64_t size;
};

struct DirectoryId {
  std::uint64_t volume;
  std::uint64_t file;
  bool operator==(const DirectoryId&) const = default;
};

// A name as Windows may compare it: unit by unit, without letter case.
std::u16string Folded(std::u16string s) {
  std::transform(s.begin(), s.end(), s.begin(), NameCaseFold);
  return s;
}

// Why a package cannot hold `relative` (a folder when `folder`): the installation writes a
// file or makes a folder of its own there. Empty when it can.
std::string OwnPathClash(const std::u16string& relative, bool folder) {
  const std::u16string mine = Folded(relative);
  for (const std::u16string_view own : InstallationOwnPaths()) {
    const std::u16string theirs = Folded(std::u16string(own));
    if (mine == theirs) {
      return "the installation writes " + Utf16ToUtf8(own) +
             " itself: a package cannot hold this name";
    }
    if (!folder && theirs.size() > mine.size() && theirs.compare(0, mine.size(), mine) == 0 &&
        theirs[mine.size()] == u'\\') {
      return "the installation makes a folder of this name for " + Utf16ToUtf8(own) +
             ": a package cannot hold a file here";
    }
  }
  return {};
}

std::string UnitName(char16_t unit) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string name = "U+";
  for (int shift = 12; shift >= 0; shift -= 4)
    name += kHex[(unit >> shift) & 0xF];
  return name;
}

// Most folders a walk visits. Symbolic links that lead to the same folders many times over
// (not a loop) multiply a tree: with files in it the package's size limit stops the walk,
// without them only this does. The reference payload (1,125 files) has 28 folders.
constexpr std::size_t kMaxFolders = 16384;

class Walker {
 public:
  // `root` is the real path of the folder being packed.
  Walker(fs::path root, std::size_t maxPath, std::vector<Found>* files, std::string* error)
      : root_(std::move(root)), maxPath_(maxPath), files_(files), error_(error) {}

  // After a walk of the whole folder: a folder without a file installs nothing, and one
  // without the client an installation whose shortcuts and finish page start nothing.
  void CheckWhole(const fs::path& folder) {
    if (found_ == 0) {
      refusals_.erase(std::remove_if(refusals_.begin(), refusals_.end(),
                                     [](const Refusal& r) { return r.emptyFolder; }),
                      refusals_.end());
      Refuse(folder, "the folder holds no files: there is nothing to install");
      return;
    }
    const std::u16string client = Folded(std::u16string(kClientName));
    if (std::none_of(files_->begin(), files_->end(),
                     [&](const Found& f) { return Folded(f.relative) == client; })) {
      Refuse(folder / HostPath(Utf16ToUtf8(kClientName)),
             "missing: the installer's shortcuts lead to this program and its finish page "
             "starts it");
    }
  }

  // The package's size so far: every record found, header and data.
  std::uint64_t total() const { return total_; }
  // One line per refused entry, naming its path and the reason, in walk order.
  std::vector<std::string> refusals() const {
    std::vector<std::string> lines;
    for (const Refusal& r : refusals_)
      lines.push_back(r.line);
    return lines;
  }

  enum class Outcome { kWalked, kRefused, kStopped };

  // Adds the files below `folder` (whose relative path is `prefix`, and which `resolved`
  // tells what it is) in package order, and
  // a refusal for every entry the package cannot take; kStopped (with `error`) when the walk
  // cannot go on. The package's size limit is checked at every file, so a tree that the
  // links multiply is stopped as soon as it is too large, before it takes the memory of its
  // whole list.
  Outcome Walk(const fs::path& folder, const HostEntry& resolved, const std::u16string& prefix) {
    if (++folders_ > kMaxFolders) {
      return Stop(QuotedPath(folder) + ": more than " + std::to_string(kMaxFolders) +
                  " folders to walk; symbolic links lead to the same folders many times over");
    }
    const DirectoryId id{resolved.volume, resolved.file};
    if (std::find(stack_.begin(), stack_.end(), id) != stack_.end()) {
      Refuse(folder, "a symbolic-link loop leads back to a folder above it");
      return Outcome::kRefused;
    }
    stack_.push_back(id);

    std::vector<fs::path> paths;
    std::string reason;
    if (!ListHostFolder(folder, &paths, &reason))
      return Stop(reason);
    std::sort(paths.begin(), paths.end());  // refusals in a stable order

    struct Entry {
      std::u16string name;
      fs::path path;
    };
    std::vector<Entry> entries;
    for (fs::path& path : paths) {
      Entry e{{}, std::move(path)};
      if (!HostName(e.path, &e.name)) {
        Refuse(e.path, "the name is not valid UTF-8");
        ++found_;
        continue;
      }
      if (e.name.find(u'\\') != std::u16string::npos) {
        Refuse(e.path, "'\\' separates folders on Windows and cannot be in a name");
        ++found_;
        continue;
      }
      const PackageFault fault = CheckPathName(e.name);
      if (fault != PackageFault::kNone) {
        Refuse(e.path,
               std::string("Windows cannot hold this name (") + DescribePackageFault(fault) + ")");
      }
      const std::size_t unit = FirstUnitNotInCodePage936(e.name);
      if (unit != std::u16string::npos) {
        Refuse(e.path, "code page 936, in which the uninstaller reads its manifest, cannot spell " +
                           UnitName(e.name[unit]) +
                           " in this name: the uninstaller would never find it");
      }
      entries.push_back(std::move(e));
    }

    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
      return Folded(a.name) < Folded(b.name);
    });
    for (std::size_t i = 1; i < entries.size(); ++i) {
      if (Folded(entries[i - 1].name) == Folded(entries[i].name)) {
        refusals_.push_back({QuotedPath(entries[i - 1].path) + " and " +
                                 QuotedPath(entries[i].path) +
                                 ": names that differ only in letter case are one name on Windows",
                             false});
      }
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    std::map<std::u16string, const fs::path*> siblings;  // by folded name
    for (const Entry& e : entries)
      siblings.emplace(Folded(e.name), &e.path);

    for (const Entry& e : entries) {
      const std::u16string relative = prefix.empty() ? e.name : prefix + u"\\" + e.name;
      // Symbolic links are followed only within the folder (junctions too, where the host
      // has them: the real path resolves both).
      HostEntry entry;
      const bool resolves = ResolveHostPath(e.path, &entry, &reason);
      if (!resolves || !HostPathInside(entry.real, root_)) {
        Refuse(e.path, !resolves ? reason
                                 : "a symbolic link leads outside the folder being packed, to " +
                                       QuotedPath(entry.real));
        ++found_;
        continue;
      }
      const bool isFolder = entry.kind == HostEntry::Kind::kFolder;
      if (const std::string clash = OwnPathClash(relative, isFolder); !clash.empty()) {
        Refuse(e.path, clash);
        ++found_;
        continue;
      }
      if (const fs::path* changed = BesideName(e.name, siblings)) {
        Refuse(e.path, "an upgrade writes the package's " + QuotedPath(changed->filename()) +
                           " under this name when its user changed the installed one");
      }
      if (isFolder) {
        const std::size_t found = found_;
        const std::size_t refused = refusals_.size();
        const Outcome outcome = Walk(e.path, entry, relative);
        if (outcome == Outcome::kStopped)
          return outcome;
        if (outcome == Outcome::kWalked && found_ == found) {
          // One refusal for the whole empty tree, at its outermost folder.
          refusals_.erase(
              std::remove_if(refusals_.begin() + static_cast<std::ptrdiff_t>(refused),
                             refusals_.end(), [](const Refusal& r) { return r.emptyFolder; }),
              refusals_.end());
          Refuse(e.path,
                 "the folder holds no files: a package holds files only, so the installer would "
                 "not make it; remove it or put a file in it",
                 true);
        }
        continue;
      }
      ++found_;
      if (entry.kind != HostEntry::Kind::kFile) {
        Refuse(e.path, "not a regular file");
        continue;
      }
      if (relative.size() > maxPath_) {
        Refuse(e.path, "the relative path is " + std::to_string(relative.size()) +
                           " UTF-16 code units long; the limit is " + std::to_string(maxPath_));
        continue;
      }
      const std::uint64_t size = entry.size;
      total_ += kPackageHeaderBytes + std::min<std::uint64_t>(size, kPackageLimit);
      if (total_ > kPackageLimit) {
        return Stop(QuotedPath(e.path) +
                    ": the package would exceed 104,857,600 bytes with this file (" +
                    std::to_string(files_->size() + 1) + " files so far)");
      }
      files_->push_back({relative, e.path, size});
    }
    stack_.pop_back();
    return Outcome::kWalked;
  }

 private:
  struct Refusal {
    std::string line;
    bool emptyFolder;
  };

  void Refuse(const fs::path& path, const std::string& reason, bool emptyFolder = false) {
    refusals_.push_back({QuotedPath(path) + ": " + reason, emptyFolder});
  }

  // The sibling file whose name `name` is with ".new" added, in any letter case: the name
  // the installation gives that file's new version when its user changed the installed one.
  static const fs::path* BesideName(const std::u16string& name,
                                    const std::map<std::u16string, const fs::path*>& siblings) {
    const std::u16string folded = Folded(name);
    const std::u16string suffix = Folded(std::u16string(kBesideSuffix));
    if (folded.size() <= suffix.size() ||
        folded.compare(folded.size() - suffix.size(), suffix.size(), suffix) != 0) {
      return nullptr;
    }
    const auto it = siblings.find(folded.substr(0, folded.size() - suffix.size()));
    if (it == siblings.end())
      return nullptr;
    HostEntry sibling;
    std::string unused;
    const bool folder =
        ResolveHostPath(*it->second, &sibling, &unused) && sibling.kind == HostEntry::Kind::kFolder;
    return folder ? nullptr : it->second;
  }

  Outcome Stop(const std::string& message) {
    *error_ = message;
    return Outcome::kStopped;
  }

  fs::path root_;
  std::size_t maxPath_;
  std::vector<Found>* files_;
  std::string* error_;
  std::vector<Refusal> refusals_;
  std::vector<DirectoryId> stack_;
  std::uint64_t total_ = 0;
  std::size_t folders_ = 0;
  std::size_t found_ = 0;  // entries met that are no folder walked, refused ones included
};

}  // namespace

bool BuildPayloadPackage(const fs::path& folder,
                         std::size_t maxPath,
                         const PackProgress& progress,
                         Bytes* package,
                         PackStats* stats,
                         std::string* error) {
  *stats = PackStats{};
  HostEntry root;
  if (!ResolveHostPath(folder, &root, error) || root.kind != HostEntry::Kind::kFolder) {
    *error = QuotedPath(folder) + ": not a folder";
    return false;
  }
  std::vector<Found> files;
  Walker walker(root.real, std::min(maxPath, kMaxFullPathUnits), &files, error);
  const Walker::Outcome outcome = walker.Walk(folder, root, u"");
  const bool stopped = outcome == Walker::Outcome::kStopped;
  if (outcome == Walker::Outcome::kWalked)
    walker.CheckWhole(folder);
  std::vector<std::string> refusals = walker.refusals();
  if (stopped)
    refusals.push_back(*error);
  if (!refusals.empty()) {
    error->clear();
    for (const std::string& line : refusals)
      *error += (error->empty() ? "" : "\n") + line;
    return false;
  }

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

namespace {

// One piece of the data compressed on its own: a whole raw-deflate stream, and where its
// final block lies.
struct Piece {
  Bytes stream;
  InflateBounds bounds;
  bool done = false;
};

// Compresses `size` bytes at `data` into `piece` and finds its final block by inflating it
// with the installer's inflater into `scratch` (room for more than `size` bytes). False
// when libdeflate fails or the stream does not inflate to `size` bytes.
bool CompressPiece(libdeflate_compressor* c,
                   const std::uint8_t* data,
                   std::size_t size,
                   Bytes* scratch,
                   Piece* piece) {
  piece->stream.resize(libdeflate_deflate_compress_bound(c, size));
  const std::size_t n =
      libdeflate_deflate_compress(c, data, size, piece->stream.data(), piece->stream.size());
  if (n == 0)
    return false;
  piece->stream.resize(n);
  int result = -1;
  const std::uint32_t got =
      InflateResource(piece->stream.data(), static_cast<std::uint32_t>(n), scratch->data(),
                      static_cast<std::uint32_t>(scratch->size()), &result, &piece->bounds);
  return result == kInflateOk && got == size;
}

// Appends `piece` to `out`, which ends on a byte boundary. A piece followed by another loses
// the final mark (BFINAL, the first bit of its final block's header) and is followed, from
// the end of its final block, by an empty stored block that is not final: the header bits
// 000, zero bits to the byte boundary, LEN 0 and NLEN 0xFFFF (RFC 1951, 3.2.4). The next
// piece then starts on a byte boundary, where it was compressed to start.
void AppendPiece(const Piece& piece, bool last, Bytes* out) {
  if (last) {
    out->insert(out->end(), piece.stream.begin(), piece.stream.end());
    return;
  }
  const std::size_t start = out->size();
  const std::uint64_t end = piece.bounds.end;
  out->insert(out->end(), piece.stream.begin(),
              piece.stream.begin() + static_cast<std::ptrdiff_t>((end + 7) / 8));
  const std::uint64_t mark = piece.bounds.finalBlock;
  (*out)[start + mark / 8] &= static_cast<std::uint8_t>(~(1u << (mark % 8)));
  const auto used =
      static_cast<unsigned>(end % 8);  // bits of the last byte that belong to the piece
  if (used != 0)
    out->back() &= static_cast<std::uint8_t>((1u << used) - 1);
  if (used == 0 || used > 5)  // the 3 header bits do not fit in the last byte
    out->push_back(0);
  out->insert(out->end(), {0x00, 0x00, 0xff, 0xff});
}

}  // namespace

unsigned CompressThreads(unsigned requested) {
  return requested != 0 ? requested : std::max(1u, std::thread::hardware_concurrency());
}

std::size_t PackPieceBytes(std::size_t size) {
  constexpr std::size_t kUnit = std::size_t{64} << 10;
  const std::size_t quarter = (size / 4 + kUnit - 1) / kUnit * kUnit;
  return std::clamp(quarter, 4 * kUnit, kPackPieceBytes);
}

bool CompressResource(const Bytes& data,
                      int level,
                      std::uint32_t limit,
                      Bytes* compressed,
                      std::string* error,
                      unsigned threads,
                      std::size_t pieceBytes) {
  if (data.size() > limit) {
    *error = "the data are " + std::to_string(data.size()) + " bytes; the limit is " +
             std::to_string(limit);
    return false;
  }
  if (level < 1 || level > 12) {
    *error = "the compression level must be 1 to 12";
    return false;
  }
  if (pieceBytes == 0)
    pieceBytes = PackPieceBytes(data.size());
  const std::size_t count = std::max<std::size_t>(1, (data.size() + pieceBytes - 1) / pieceBytes);
  std::vector<Piece> pieces(count);
  std::atomic<std::size_t> next{0};
  std::atomic<bool> noMemory{false};
  // Each thread takes the next piece not taken; which thread compresses a piece changes
  // nothing in its bytes.
  const auto work = [&] {
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    if (c == nullptr) {
      noMemory = true;
      return;
    }
    Bytes scratch(std::min(pieceBytes, data.size()) + 1);
    for (std::size_t i; (i = next++) < count;) {
      const std::size_t begin = i * pieceBytes;
      const std::size_t size = std::min(pieceBytes, data.size() - begin);
      pieces[i].done = CompressPiece(c, data.data() + begin, size, &scratch, &pieces[i]);
    }
    libdeflate_free_compressor(c);
  };
  threads = CompressThreads(threads);
  std::vector<std::thread> helpers;
  for (std::size_t t = 1; t < std::min<std::size_t>(threads, count); ++t) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer threads do the same work
    }
  }
  work();
  for (std::thread& t : helpers)
    t.join();

  std::size_t total = 0;
  for (const Piece& p : pieces) {
    if (!p.done) {
      *error = noMemory ? "out of memory for the compressor" : "compression failed";
      return false;
    }
    total += p.stream.size() + 5;
  }
  Bytes out;
  out.reserve(total);
  for (std::size_t i = 0; i < count; ++i) {
    AppendPiece(pieces[i], i + 1 == count, &out);
    Bytes().swap(pieces[i].stream);
  }
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
