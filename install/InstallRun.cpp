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
    const std::u16string manifestPath = folder_ + std::u16string(kManifestName);
    manifest_ = files_.Create(manifestPath);
    if (!manifest_ || !WriteLine(kManifestFileHeader))
      return Fail(manifestPath);

    Inflated uninstaller;
    if (!InflateStream(streams.uninstaller, streams.uninstallerSize, kUninstallerLimit,
                       &uninstaller)) {
      return Unreadable();
    }
    const std::u16string uninstallerPath = folder_ + std::u16string(kUninstallerName);
    if (!WriteWholeFile(uninstallerPath, uninstaller.block.get(), uninstaller.size)) {
      return Fail(uninstallerPath);
    }
    outcome_.installedBytes += uninstaller.size;
    uninstaller.block.reset();

    files_.WriteChannelInfo(folder_);
    outcome_.installedFiles.emplace_back(kChannelFilePath);
    Report(INSTALL_PREPARING, nullptr);

    Inflated package;
    if (!InflateStream(streams.payload, streams.payloadSize, kPackageLimit, &package)) {
      return Unreadable();
    }
    const std::size_t room =
        folder_.size() < kMaxFullPathUnits ? kMaxFullPathUnits - folder_.size() : 0;
    const PackageCheck check = ValidatePackage(package.block.get(), package.size, room);
    if (check.fault == PackageFault::kPathTooLong) {
      RefuseLongPath(package, check.recordIndex);
    } else if (!check.ok()) {
      return Unreadable();
    } else {
      Extract(package);
    }

    files_.RegisterComponent(folder_);
    bool written = true;
    for (const std::u16string& line : ManifestListLines(outcome_.installedFiles)) {
      written = WriteLine(line) && written;
    }
    written = manifest_->Close() && written;
    manifest_.reset();
    outcome_.listsWritten = written;
    return std::move(outcome_);
  }

 private:
  // A record whose full path does not fit: reported as the file that cannot be created,
  // before any payload file is written.
  void RefuseLongPath(const Inflated& package, std::size_t index) {
    PayloadPackage walker(package.block.get(), package.size);
    PackageRecord record;
    for (std::size_t i = 0; i <= index; ++i)
      walker.Next(&record);
    const std::u16string path = folder_ + std::u16string(record.path, record.pathLength);
    Report(INSTALL_CREATE_FAILED, &path);
  }

  // The extraction loop, over a validated package.
  void Extract(const Inflated& package) {
    PayloadPackage walker(package.block.get(), package.size);
    PackageRecord record;
    bool ended = walker.Position() >= walker.Length();
    if (control_.Running()) {
      for (;;) {
        if (walker.Position() >= walker.Length()) {
          ended = true;
          break;
        }
        if (!walker.Next(&record))
          break;  // validated: cannot happen
        const std::u16string path = folder_ + std::u16string(record.path, record.pathLength);
        files_.MakeFolders(path);
        std::unique_ptr<InstallFiles::File> file = files_.Create(path);
        if (!file) {
          Report(INSTALL_CREATE_FAILED, &path);
          return;
        }
        const double share =
            static_cast<double>(record.dataOffset) * 100.0 / static_cast<double>(package.size);
        Report(static_cast<int>(share), &path);
        outcome_.installedFiles.emplace_back(record.path, record.pathLength);
        const bool wrote = file->Write(record.data, record.size);
        if (!file->Close() || !wrote) {
          Report(INSTALL_CREATE_FAILED, &path);
          return;
        }
        outcome_.installedBytes += record.size;
        control_.SafePoint();
        if (!control_.Running()) {
          ended = walker.Position() >= walker.Length();
          break;
        }
      }
    }
    if (ended)
      Report(INSTALL_COMPLETE, nullptr);
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
    reports_.Report(code, path);
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
};

}  // namespace

InstallOutcome RunInstallation(const std::u16string& folder,
                               const InstallStreams& streams,
                               InstallFiles& files,
                               InstallReports& reports,
                               InstallControl& control) {
  return Run(folder, files, reports, control).Execute(streams);
}
