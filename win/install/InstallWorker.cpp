#include "win/install/InstallWorker.h"

#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <optional>

#include "core/product/Product.h"
#include "core/text/NumberText.h"
#include "win/base/Text.h"
#include "win/install/PagedResource.h"
#include "win/install/Win32InstallFiles.h"

namespace {

// Posts each report to the owner window; a path block that cannot be posted is freed here.
// Progress is posted only when the percentage changes, or when the shown file would
// otherwise lag behind the page's 100 ms timer: a package of many small files costs a
// message per tick, not per file; the last one held back is posted when the files are
// written. Every other report is posted.
class PostedReports : public InstallReports {
 public:
  explicit PostedReports(HWND owner) : owner_(owner) {}
  void Report(int code, const std::u16string* path) override {
    if (code >= 0 && code < INSTALL_COMPLETE) {
      const ULONGLONG now = GetTickCount64();
      if (code == lastPercent_ && now - lastPost_ < kQuietMs && path != nullptr) {
        heldBack_ = *path;
        return;
      }
      lastPercent_ = code;
      lastPost_ = now;
    }
    heldBack_.clear();
    Post(code, path);
  }
  // The page keeps showing the last file while the registration runs.
  void Flush() override {
    if (!heldBack_.empty()) {
      const std::u16string path = std::move(heldBack_);
      heldBack_.clear();
      Post(lastPercent_, &path);
    }
  }

 private:
  void Post(int code, const std::u16string* path) {
    wchar_t* block = nullptr;
    if (path != nullptr) {
      block = new (std::nothrow) wchar_t[kPathBlockUnits];
      if (block != nullptr) {
        const std::size_t n = path->size() < kPathBlockUnits ? path->size() : kPathBlockUnits - 1;
        std::memcpy(block, path->data(), n * sizeof(wchar_t));
        block[n] = L'\0';
      }
    }
    if (!PostMessageW(owner_, WM_INSTALL_PROGRESS, static_cast<WPARAM>(static_cast<INT_PTR>(code)),
                      reinterpret_cast<LPARAM>(block))) {
      delete[] block;
    }
  }

  static constexpr ULONGLONG kQuietMs = 50;  // half the page's timer
  HWND owner_;
  int lastPercent_ = -1;
  ULONGLONG lastPost_ = 0;
  std::u16string heldBack_;  // the path of the last progress not posted
};

// No window to report to: the run's outcome is read when the thread has ended.
class NoReports : public InstallReports {
 public:
  void Report(int, const std::u16string*) override {}
};

// The run's file operations, each logged as it ends: a file written with its size, or
// what failed and why; the channel file; the registration and how it ended.
class LoggedFiles : public InstallFiles {
 public:
  LoggedFiles(InstallFiles& files, SetupLog& log) : files_(files), log_(log) {}

  bool MakeFolders(const std::u16string& path) override { return files_.MakeFolders(path); }

  bool Occupied(const std::u16string& path) override { return files_.Occupied(path); }

  bool KeepAside(const std::u16string& path, const std::u16string& keptPath) override {
    if (files_.KeepAside(path, keptPath)) {
      log_.Line(L"kept " + Wide(path) + L", which was there, as " + Wide(keptPath));
      return true;
    }
    log_.Line(WithError(L"could not keep " + Wide(path) + L" aside", GetLastError()));
    return false;
  }

  std::unique_ptr<File> Create(const std::u16string& path) override {
    return Logged(files_.Create(path), path);
  }
  std::unique_ptr<File> Replace(const std::u16string& path) override {
    return Logged(files_.Replace(path), path);
  }

  void WriteChannelInfo(const std::u16string& folder) override {
    files_.WriteChannelInfo(folder);
    log_.Line(L"channel file " + Wide(folder) + product::kChannelFile);
  }

  RegistrationResult RegisterComponent(const std::u16string& folder) override {
    const std::wstring component = Wide(folder) + product::kComponentFile;
    log_.Line(L"registering " + component);
    const RegistrationResult result = files_.RegisterComponent(folder);
    if (result == RegistrationResult::kRegistered)
      log_.Line(L"registered " + component);
    else if (result == RegistrationResult::kHung)
      log_.Line(L"the registration of " + component + L" did not end in time and was ended");
    else
      log_.Line(L"the registration of " + component + L" failed");
    return result;
  }

  std::string ToAnsi(std::u16string_view line) override { return files_.ToAnsi(line); }

 private:
  class LoggedFile : public File {
   public:
    LoggedFile(std::unique_ptr<File> file, std::wstring path, SetupLog& log)
        : file_(std::move(file)), path_(std::move(path)), log_(log) {}
    bool Write(const std::uint8_t* data, std::size_t size) override {
      if (!file_->Write(data, size)) {
        error_ = GetLastError();
        return false;
      }
      bytes_ += size;
      return true;
    }
    bool Close() override {
      const bool closed = file_->Close();
      if (!closed && error_ == ERROR_SUCCESS)
        error_ = GetLastError();
      if (error_ == ERROR_SUCCESS)
        log_.Line(L"wrote " + path_ + L" (" + DecimalText<wchar_t>(bytes_) + L" bytes)");
      else
        log_.Line(WithError(L"could not write " + path_, error_));
      return closed;
    }

   private:
    std::unique_ptr<File> file_;
    std::wstring path_;
    SetupLog& log_;
    std::uint64_t bytes_ = 0;
    DWORD error_ = ERROR_SUCCESS;
  };

  std::unique_ptr<File> Logged(std::unique_ptr<File> file, const std::u16string& path) {
    if (!file) {
      log_.Line(WithError(L"could not create " + Wide(path), GetLastError()));
      return file;
    }
    return std::make_unique<LoggedFile>(std::move(file), Wide(path), log_);
  }

  InstallFiles& files_;
  SetupLog& log_;
};

class WorkerControl : public InstallControl {
 public:
  explicit WorkerControl(std::function<bool()> running, std::function<void()> safePoint)
      : running_(std::move(running)), safePoint_(std::move(safePoint)) {}
  bool Running() override { return running_(); }
  void SafePoint() override { safePoint_(); }

 private:
  std::function<bool()> running_;
  std::function<void()> safePoint_;
};

}  // namespace

void FreePathBlock(LPARAM block) {
  delete[] reinterpret_cast<wchar_t*>(block);
}

InstallWorker::InstallWorker() = default;

InstallWorker::~InstallWorker() {
  // The thread runs this class's Run: it must be over before this part of the object goes.
  EndThread();
}

void InstallWorker::Run() {
  if (!stopRequested_)
    running_ = 1;
  HMODULE module = resources_ != nullptr ? resources_ : GetModuleHandleW(nullptr);
  InstallStreams streams;
  streams.uninstaller = LoadFileResource(module, 139, &streams.uninstallerSize);
  streams.payload = LoadFileResource(module, 137, &streams.payloadSize);
  const std::unique_ptr<StreamFile> payloadFile =
      PagedResource(streams.payload, streams.payloadSize);
  streams.payloadFile = payloadFile.get();
  if (summary_)
    streams.summary = &*summary_;
  streams.carriedKept = &carriedKept_;
  streams.userChanged = &userChanged_;
  Win32ThreadPair threads;
  streams.threads = &threads;
  const std::u16string folder = Utf16(installFolder_);
  Win32InstallFiles files(folder, registrationLimitMs_, freshFolder_);
  std::optional<LoggedFiles> logged;
  if (log_ != nullptr)
    logged.emplace(files, *log_);
  PostedReports posted(owner_);
  NoReports none;
  InstallReports& reports = owner_ != nullptr ? static_cast<InstallReports&>(posted) : none;
  WorkerControl control([this] { return Running(); }, [this] { SafePoint(); });
  outcome_ = RunInstallation(folder, streams, logged ? static_cast<InstallFiles&>(*logged) : files,
                             reports, control);
}
