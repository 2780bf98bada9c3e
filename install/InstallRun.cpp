#include "install/InstallRun.h"

#include <new>

#include "inflate/ResourceInflater.h"
#include "install/ManifestText.h"
#include "install/PayloadPackage.h"

namespace {

// An inflated resource in a block of its limit's size: only the pages written are used.
struct Inflated {
  std::unique_ptr<std::uint8_t[]> block;
  std::uint32_t size = 0;
};

bool InflateStream(const std::uint8_t* stream,
                   std::uint32_t size,
                   std::uint32_t limit,
                   Inflated* out) {
  if (stream == nullptr)
    return false;
  out->block.reset(new (std::nothrow) std::uint8_t[limit]);
  if (!out->block)
    return false;
  int result = -1;
  out->size = InflateResource(stream, size, out->block.get(), limit, &result);
  return result == kInflateOk;
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
    Inflated package;
    if (!InflateStream(streams.payload, streams.payloadSize, kPackageLimit, &package)) {
      return Unreadable();
    }
    const std::size_t room =
        folder_.size() < kMaxFullPathUnits ? kMaxFullPathUnits - folder_.size() : 0;
    const PackageCheck check = ValidatePackage(package.block.get(), package.size, room);
    if (check.fault == PackageFault::kPathTooLong)
      return Refuse(RecordPath(package, check.recordIndex));
    if (!check.ok())
      return Unreadable();
    for (const std::u16string_view own : {kManifestName, kUninstallerName, kChannelFilePath}) {
      if (own.size() > room)
        return Refuse(folder_ + std::u16string(own));
    }

    const std::u16string manifestPath = folder_ + std::u16string(kManifestName);
    manifest_ = files_.Create(manifestPath);
    if (!manifest_ || !WriteLine(kManifestFileHeader))
      return Fail(manifestPath);
    const std::u16string uninstallerPath = folder_ + std::u16string(kUninstallerName);
    if (!WriteWholeFile(uninstallerPath, uninstaller.block.get(), uninstaller.size)) {
      return Fail(uninstallerPath);
    }
    outcome_.installedBytes += uninstaller.size;
    uninstaller.block.reset();

    files_.WriteChannelInfo(folder_);
    outcome_.installedFiles.emplace_back(kChannelFilePath);
    const bool extracted = Extract(package);
    package.block.reset();

    // Registration and the lists come whichever way the extraction ended; only a run that
    // wrote every file, registered the component and completed the manifest is complete.
    const RegistrationResult registered = files_.RegisterComponent(folder_);
    bool written = true;
    for (const std::u16string& line : ManifestListLines(outcome_.installedFiles)) {
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
  // The full path of record `index`, the one too long for the folder.
  std::u16string RecordPath(const Inflated& package, std::size_t index) const {
    PayloadPackage walker(package.block.get(), package.size);
    PackageRecord record;
    for (std::size_t i = 0; i <= index; ++i)
      walker.Next(&record);
    return folder_ + std::u16string(record.path, record.pathLength);
  }

  // The extraction loop, over a validated package. True when every record was written;
  // false after a failure (reported here) or a stop.
  bool Extract(const Inflated& package) {
    PayloadPackage walker(package.block.get(), package.size);
    PackageRecord record;
    if (!control_.Running())
      return walker.Position() >= walker.Length();
    while (walker.Position() < walker.Length()) {
      if (!walker.Next(&record))
        return false;  // validated: cannot happen
      const std::u16string path = folder_ + std::u16string(record.path, record.pathLength);
      files_.MakeFolders(path);
      std::unique_ptr<InstallFiles::File> file = files_.Create(path);
      if (!file) {
        Report(INSTALL_CREATE_FAILED, &path);
        return false;
      }
      const double share =
          static_cast<double>(record.dataOffset) * 100.0 / static_cast<double>(package.size);
      Report(static_cast<int>(share), &path);
      outcome_.installedFiles.emplace_back(record.path, record.pathLength);
      const bool wrote = file->Write(record.data, record.size);
      if (!file->Close() || !wrote) {
        Report(INSTALL_CREATE_FAILED, &path);
        return false;
      }
      outcome_.installedBytes += record.size;
      control_.SafePoint();
      if (!control_.Running())
        return walker.Position() >= walker.Length();
    }
    return true;
  }

  bool WriteWholeFile(const std::u16string& path, const std::uint8_t* data, std::size_t size) {
    std::unique_ptr<InstallFiles::File> file = files_.Create(path);
    if (!file)
      return false;
    const bool wrote = file->Write(data, size);
    return file->Close() && wrote;
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

bool InspectPackage(const std::uint8_t* payload,
                    std::uint32_t size,
                    PackageCheck* check,
                    std::vector<std::uint32_t>* sizes) {
  *check = PackageCheck{};
  Inflated package;
  if (!InflateStream(payload, size, kPackageLimit, &package))
    return false;
  *check = ValidatePackage(package.block.get(), package.size);
  if (!check->ok())
    return false;
  if (sizes != nullptr) {
    PayloadPackage walker(package.block.get(), package.size);
    PackageRecord record;
    while (walker.Next(&record))
      sizes->push_back(record.size);
  }
  return true;
}

std::uint32_t InflatedStreamSize(const std::uint8_t* stream,
                                 std::uint32_t size,
                                 std::uint32_t limit) {
  Inflated inflated;
  return InflateStream(stream, size, limit, &inflated) ? inflated.size : 0;
}
