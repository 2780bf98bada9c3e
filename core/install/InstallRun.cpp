#include "core/install/InstallRun.h"

#include <algorithm>
#include <new>

#include "core/inflate/ResourceInflater.h"
#include "core/install/InstallFolder.h"
#include "core/install/ManifestText.h"
#include "core/install/PayloadStream.h"
#include "core/package/PayloadPackage.h"

namespace {

// The bytes of a package that `check` found whole: its headers and data.
std::uint64_t PackageBytes(const PackageCheck& check) {
  return check.dataBytes + check.recordIndex * std::uint64_t{kPackageHeaderBytes};
}

class Run {
 public:
  Run(const std::u16string& folder,
      InstallFiles& files,
      InstallReports& reports,
      InstallControl& control)
      : folder_(folder), files_(files), reports_(reports), control_(control) {}

  InstallOutcome Execute(const InstallStreams& streams) {
    Report(INSTALL_PREPARING, nullptr);
    // Both resources are checked before the first byte is written: a refused installer
    // leaves nothing on disk.
    Inflated uninstaller;
    if (!InflateStream(streams.uninstaller, streams.uninstallerSize, kUninstallerLimit,
                       &uninstaller)) {
      return Unreadable();
    }
    room_ = folder_.size() < kMaxFullPathUnits ? kMaxFullPathUnits - folder_.size() : 0;
    // Read once when the summary says the package fits the folder; otherwise checked
    // whole first, then read again to be written.
    PackageCheck check;
    if (streams.summary != nullptr && streams.summary->ok() &&
        streams.summary->longestPath <= room_) {
      check = *streams.summary;
    } else {
      PackageReader checker(room_);
      if (!ReadPackage(streams.payload, streams.payloadSize, streams.payloadFile, checker))
        return Unreadable();
      check = checker.Check();
      if (check.fault == PackageFault::kPathTooLong)
        return Refuse(folder_ + std::u16string(checker.CurrentPath()));
      if (!check.ok())
        return Unreadable();
    }
    packageBytes_ = PackageBytes(check);
    for (const std::u16string_view own : {kManifestName, kUninstallerName, kChannelFilePath}) {
      if (own.size() > room_)
        return Refuse(folder_ + std::u16string(own));
    }

    const std::u16string manifestPath = folder_ + std::u16string(kManifestName);
    manifest_ = files_.Replace(manifestPath);
    outcome_.madeManifest = manifest_ != nullptr;
    if (!manifest_ || !WriteLine(kManifestFileHeader))
      return Fail(manifestPath);
    if (streams.carriedKept != nullptr) {
      for (const std::u16string& kept : *streams.carriedKept) {
        if (!WriteLine(ManifestKeptLine(keptLines_++, kept)))
          return Fail(manifestPath);
      }
    }
    const std::u16string uninstallerPath = folder_ + std::u16string(kUninstallerName);
    if (!WriteWholeFile(uninstallerPath, uninstaller.block.get(), uninstaller.size,
                        &outcome_.madeUninstaller)) {
      return Fail(uninstallerPath);
    }
    outcome_.installedBytes += uninstaller.size;
    uninstaller.block.reset();

    if (!Journal(kChannelFilePath))
      return Fail(manifestPath);
    files_.WriteChannelInfo(folder_);
    outcome_.installedFiles.push_back(kChannelFilePath);
    userChanged_ = streams.userChanged;
    const bool extracted = Extract(streams);
    reports_.Flush();
    // Every file is written: the files the user changed join the list (a failed line fails
    // the manifest).
    for (std::size_t n = 0;
         extracted && n < outcome_.userKept.size() && Journal(outcome_.userKept[n]);)
      ++n;

    // The component is registered only when this run made its file and wrote it whole, and
    // every other file too: never after a stop or a failure, never a file that was there
    // before (a planted one would run its code with this program's rights). The folder list
    // comes whichever way the extraction ended; only a run that wrote every file,
    // registered its component and completed the manifest is complete.
    RegistrationResult registered = RegistrationResult::kRegistered;
    if (extracted && componentWritten_) {
      outcome_.registrationRan = true;
      registered = files_.RegisterComponent(folder_);
    }
    bool written = journalWritten_;
    for (const std::u16string& line : ManifestFolderList(outcome_.installedFiles)) {
      written = WriteLine(line) && written;
    }
    written = manifest_->Close() && written;
    manifest_.reset();
    outcome_.listsWritten = written;
    if (extracted) {
      const std::u16string component = folder_ + std::u16string(kComponentName);
      if (registered == RegistrationResult::kHung) {
        Report(INSTALL_REGISTER_HUNG, &component);
      } else if (registered == RegistrationResult::kFailed) {
        Report(INSTALL_REGISTER_FAILED, &component);
      } else if (!written) {
        Report(INSTALL_CREATE_FAILED, &manifestPath);
      } else {
        Report(INSTALL_COMPLETE, nullptr);
      }
    }
    return std::move(outcome_);
  }

  // A failed allocation anywhere in the run: the files are closed as the run unwinds, and
  // the run ends as one whose resources could not be prepared.
  InstallOutcome OutOfMemory() {
    manifest_.reset();
    if (!finalReported_)
      Report(INSTALL_PACKAGE_UNREADABLE, nullptr);
    return std::move(outcome_);
  }

 private:
  // Writes each record as the second pass reads it.
  class Writer : public PackageVisitor {
   public:
    explicit Writer(Run& run) : run_(run) {}

    bool Record(std::u16string_view path, std::uint32_t size) override {
      if (!run_.control_.Running())
        return false;  // a stop between records
      path_ = run_.folder_;
      path_.append(path);
      std::u16string written(path);
      // A file the user changed stays, and the package's goes beside it. Asked once: a file
      // that a look did not find is never kept aside in its stead (its creation fails).
      bool occupied = run_.files_.Occupied(path_);
      if (occupied && run_.UserChanged(path)) {
        run_.outcome_.userKept.emplace_back(path);
        written += kBesideSuffix;
        path_ += kBesideSuffix;
        occupied = run_.files_.Occupied(path_);
      }
      // What was there before is kept aside, never overwritten, and its KEPT line comes first.
      if (occupied && !run_.KeepAside(written, &path_))
        return Failed();
      if (!run_.Journal(written)) {
        path_ = run_.folder_ + std::u16string(kManifestName);
        return Failed();
      }
      run_.MakeFoldersFor(path_);
      file_ = run_.files_.Create(path_);
      if (!file_)
        return Failed();
      component_ = IsComponentPath(written);
      // A summary that understates the package must not push the share past 100.
      const double share = std::min(100.0, static_cast<double>(offset_ + kPackageHeaderBytes) *
                                               100.0 / static_cast<double>(run_.packageBytes_));
      run_.Report(static_cast<int>(share), &path_);
      run_.outcome_.installedFiles.push_back(written);
      offset_ += kPackageHeaderBytes + std::uint64_t{size};
      size_ = size;
      return true;
    }
    bool Data(const std::uint8_t* data, std::size_t size) override {
      if (file_->Write(data, size))
        return true;
      file_->Close();
      return Failed();
    }
    bool RecordEnd() override {
      if (!file_->Close())
        return Failed();
      file_.reset();
      run_.componentWritten_ = run_.componentWritten_ || component_;
      run_.outcome_.installedBytes += size_;
      run_.control_.SafePoint();
      return true;
    }
    bool failed = false;

   private:
    bool Failed() {
      run_.Report(INSTALL_CREATE_FAILED, &path_);
      file_.reset();
      failed = true;
      return false;
    }

    Run& run_;
    std::u16string path_;
    std::unique_ptr<InstallFiles::File> file_;
    std::uint64_t offset_ = 0;
    std::uint32_t size_ = 0;
    bool component_ = false;  // the record is the component
  };

  bool UserChanged(std::u16string_view path) const {
    return userChanged_ != nullptr &&
           std::find(userChanged_->begin(), userChanged_->end(), path) != userChanged_->end();
  }

  // The writing pass, each record checked before its file is made. True when every record
  // was written; false after a failure (reported here) or a stop before the last record.
  bool Extract(const InstallStreams& streams) {
    Writer writer(*this);
    PackageReader reader(room_, &writer);
    const bool read =
        streams.threads != nullptr
            ? ReadPackagePiped(streams.payload, streams.payloadSize, streams.payloadFile,
                               packageBytes_, *streams.threads, reader)
            : ReadPackage(streams.payload, streams.payloadSize, streams.payloadFile, reader);
    if (writer.failed)
      return false;
    if (reader.Check().fault == PackageFault::kPathTooLong) {
      const std::u16string path = folder_ + std::u16string(reader.CurrentPath());
      Report(INSTALL_CREATE_FAILED, &path);
      return false;
    }
    if (!read || (!reader.Stopped() && !reader.Check().ok())) {
      Report(INSTALL_PACKAGE_UNREADABLE, nullptr);
      return false;
    }
    return !reader.Stopped();
  }

  // Each folder is made once: the packager lists a folder's files and sub-folders
  // together, so a folder is made already when it is the last one made or lies above it.
  // Any other order still works, with more calls.
  void MakeFoldersFor(const std::u16string& path) {
    const std::size_t slash = path.rfind(u'\\');
    if (slash == std::u16string::npos || slash < folder_.size())
      return;
    // Made already: the last folder made, or one above it.
    const std::u16string_view parent(path.data(), slash);
    if (std::u16string_view(madeFolder_).substr(0, parent.size()) == parent &&
        (madeFolder_.size() == parent.size() || madeFolder_[parent.size()] == u'\\')) {
      return;
    }
    files_.MakeFolders(path);
    madeFolder_.assign(parent);
  }

  // `created` tells whether the file was made (or taken over), whole or not.
  bool WriteWholeFile(const std::u16string& path,
                      const std::uint8_t* data,
                      std::size_t size,
                      bool* created) {
    std::unique_ptr<InstallFiles::File> file = files_.Replace(path);
    *created = file != nullptr;
    if (!file)
      return false;
    const bool wrote = file->Write(data, size);
    return file->Close() && wrote;
  }

  // Moves the file that is at `path` (relative) aside, its KEPT line on disk before the
  // move, so that a removal puts it back whenever the run ends. False when the line or the
  // move fails; `failed` then names the manifest or stays the file.
  bool KeepAside(std::u16string_view path, std::u16string* failed) {
    const std::u16string kept = KeptFilePath(keptLines_);
    if (!WriteLine(ManifestKeptLine(keptLines_, path))) {
      *failed = folder_ + std::u16string(kManifestName);
      journalWritten_ = false;
      return false;
    }
    ++keptLines_;
    if (!files_.KeepAside(folder_ + std::u16string(path), folder_ + kept))
      return false;
    outcome_.keptFiles.push_back({std::u16string(path), kept});
    return true;
  }

  // The file's line, on disk before the file is made: a run that ends abruptly leaves a
  // manifest that names everything it may have written. False when the line could not be
  // written; the file must then not be made.
  bool Journal(std::u16string_view path) {
    journalWritten_ = WriteLine(ManifestFileLine(journalLines_, path));
    if (journalWritten_)
      ++journalLines_;
    return journalWritten_;
  }

  bool WriteLine(std::u16string_view line) {
    const std::string bytes = files_.ToAnsi(line);
    return manifest_->Write(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }

  void Report(int code, const std::u16string* path) {
    outcome_.finalReport = code;
    // Progress may be 100 too, but it carries a path; the completion does not.
    const bool final =
        (code < 0 && code != INSTALL_PREPARING) || (code == INSTALL_COMPLETE && path == nullptr);
    finalReported_ = finalReported_ || final;
    if (final && path != nullptr)
      outcome_.finalPath = *path;
    reports_.Report(code, path);
  }

  // Refused before anything was written.
  InstallOutcome Refuse(const std::u16string& path) {
    Report(INSTALL_CREATE_FAILED, &path);
    return std::move(outcome_);
  }
  // An early end: the manifest keeps only its first line.
  InstallOutcome Fail(const std::u16string& path) {
    Report(INSTALL_CREATE_FAILED, &path);
    return Close();
  }
  InstallOutcome Unreadable() {
    Report(INSTALL_PACKAGE_UNREADABLE, nullptr);
    return Close();
  }
  InstallOutcome Close() {
    if (manifest_)
      manifest_->Close();
    manifest_.reset();
    return std::move(outcome_);
  }

  const std::u16string& folder_;
  InstallFiles& files_;
  InstallReports& reports_;
  InstallControl& control_;
  std::unique_ptr<InstallFiles::File> manifest_;
  InstallOutcome outcome_;
  bool finalReported_ = false;
  std::uint64_t packageBytes_ = 0;
  std::size_t room_ = 0;       // the longest relative path the folder leaves room for
  std::u16string madeFolder_;  // the last folder files were made in
  std::size_t journalLines_ = 0;
  std::size_t keptLines_ = 0;
  bool journalWritten_ = true;     // false once a file line could not be written
  bool componentWritten_ = false;  // this run made the component's file and wrote it whole
  const std::vector<std::u16string>* userChanged_ = nullptr;
};

}  // namespace

InstallOutcome RunInstallation(const std::u16string& folder,
                               const InstallStreams& streams,
                               InstallFiles& files,
                               InstallReports& reports,
                               InstallControl& control) {
  Run run(folder, files, reports, control);
  try {
    return run.Execute(streams);
  } catch (const std::bad_alloc&) {
    return run.OutOfMemory();
  }
}

namespace {

// Counts each record's size in a summary as a package is read.
class SummaryCount : public PackageVisitor {
 public:
  explicit SummaryCount(PackageSummary* summary) : summary_(summary) {}
  bool Record(std::u16string_view, std::uint32_t size) override {
    summary_->AddFile(size);
    return true;
  }
  bool Data(const std::uint8_t*, std::size_t) override { return true; }
  bool RecordEnd() override { return true; }

 private:
  PackageSummary* summary_;
};

}  // namespace

bool SummarizePackage(const std::uint8_t* payload,
                      std::uint32_t size,
                      const std::uint8_t* uninstaller,
                      std::uint32_t uninstallerSize,
                      PackageSummary* summary,
                      PackageCheck* check) {
  *summary = PackageSummary{};
  *check = PackageCheck{};
  SummaryCount count(summary);
  PackageReader reader(kMaxFullPathUnits, &count);
  if (!ReadPackage(payload, size, nullptr, reader))
    return false;
  *check = reader.Check();
  Inflated program;
  if (!check->ok() || !InflateStream(uninstaller, uninstallerSize, kUninstallerLimit, &program))
    return false;
  summary->AddFile(program.size);
  summary->records = static_cast<std::uint32_t>(check->recordIndex);
  summary->longestPath = static_cast<std::uint32_t>(check->longestPath);
  summary->dataBytes = check->dataBytes;
  return true;
}
