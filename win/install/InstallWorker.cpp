#include "win/install/InstallWorker.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <optional>

#include "core/install/ManifestText.h"
#include "core/setup/NumberText.h"
#include "win/base/WorkingSet.h"
#include "win/install/ChannelInfo.h"
#include "win/install/FolderRights.h"
#include "win/install/Registration.h"
#include "win/install/Removal.h"

namespace {

const wchar_t* Wide(const std::u16string& s) {
  return reinterpret_cast<const wchar_t*>(s.c_str());
}

constexpr DWORD kLinkOrFolder = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;

class Win32File : public InstallFiles::File {
 public:
  explicit Win32File(HANDLE h) : h_(h) {}
  ~Win32File() override {
    if (h_ != INVALID_HANDLE_VALUE)
      CloseHandle(h_);
  }
  bool Write(const std::uint8_t* data, std::size_t size) override {
    while (size > 0) {
      const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
      DWORD written = 0;
      if (!WriteFile(h_, data, chunk, &written, nullptr) || written == 0)
        return false;
      data += written;
      size -= written;
    }
    return true;
  }
  bool Close() override {
    const bool ok = CloseHandle(h_) != 0;
    h_ = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE h_;
};

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
      log_.Line(L"kept " + std::wstring(Wide(path)) + L", which was there, as " + Wide(keptPath));
      return true;
    }
    log_.Line(WithError(L"could not keep " + std::wstring(Wide(path)) + L" aside", GetLastError()));
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
    log_.Line(L"channel file " + std::wstring(Wide(folder)) + product::kChannelFile);
  }

  RegistrationResult RegisterComponent(const std::u16string& folder) override {
    const std::wstring component = std::wstring(Wide(folder)) + product::kComponentFile;
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
      log_.Line(WithError(L"could not create " + std::wstring(Wide(path)), GetLastError()));
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

const std::uint8_t* LoadFileResource(HMODULE module, WORD id, std::uint32_t* size) {
  HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), L"FILE");
  if (resource == nullptr)
    return nullptr;
  HGLOBAL loaded = LoadResource(module, resource);
  if (loaded == nullptr)
    return nullptr;
  *size = SizeofResource(module, resource);
  return static_cast<const std::uint8_t*>(LockResource(loaded));
}

namespace {

// Reads a resource from a loaded module's memory and hands its pages back to the system
// as it goes: the pages wholly read leave the working set once a mebibyte of them gathers,
// and the rest when the reader goes.
class PagedReader : public InflateSource {
 public:
  PagedReader(const std::uint8_t* data, std::uint32_t size)
      : data_(data), size_(size), released_(PageOf(data)) {}
  ~PagedReader() override { ReleasePages(reinterpret_cast<const void*>(released_), Done()); }
  PagedReader(const PagedReader&) = delete;
  PagedReader& operator=(const PagedReader&) = delete;

  std::uint32_t Read(std::uint8_t* destination, std::uint32_t wanted) override {
    const std::uint32_t n = std::min(wanted, size_ - at_);
    std::memcpy(destination, data_ + at_, n);
    at_ += n;
    const std::uintptr_t whole = PageOf(data_ + at_);
    if (whole - released_ >= kBatch) {
      ReleasePages(reinterpret_cast<const void*>(released_), whole - released_);
      released_ = whole;
    }
    return n;
  }

 private:
  static constexpr std::uintptr_t kBatch = std::uintptr_t{1} << 20;
  static std::uintptr_t PageOf(const std::uint8_t* p) {
    return reinterpret_cast<std::uintptr_t>(p) & ~std::uintptr_t{4095};
  }
  std::size_t Done() const { return reinterpret_cast<std::uintptr_t>(data_ + at_) - released_; }

  const std::uint8_t* data_;
  std::uint32_t size_;
  std::uint32_t at_ = 0;
  std::uintptr_t released_;  // the pages below have left the working set
};

class PagedStream : public StreamFile {
 public:
  PagedStream(const std::uint8_t* data, std::uint32_t size) : data_(data), size_(size) {}
  std::unique_ptr<InflateSource> Open() const override {
    return std::make_unique<PagedReader>(data_, size_);
  }

 private:
  const std::uint8_t* data_;
  std::uint32_t size_;
};

}  // namespace

std::unique_ptr<StreamFile> PagedResource(const std::uint8_t* resource, std::uint32_t size) {
  if (resource == nullptr || size == 0)
    return nullptr;
  return std::make_unique<PagedStream>(resource, size);
}

// --- WorkerThread -------------------------------------------------------------------------

WorkerThread::WorkerThread() : m_unpaused(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {
  m_thread = CreateThread(nullptr, 0, ThreadMain, this, CREATE_SUSPENDED, &m_threadId);
  if (m_thread != nullptr)
    SetThreadPriority(m_thread, THREAD_PRIORITY_NORMAL);
}

WorkerThread::~WorkerThread() {
  EndThread();
  if (m_thread != nullptr)
    CloseHandle(m_thread);
  if (m_unpaused != nullptr)
    CloseHandle(m_unpaused);
}

void WorkerThread::EndThread() {
  // A thread that never ran is let go without running; one that ran must end before its
  // object goes.
  if (m_thread == nullptr)
    return;
  if (!m_started)
    m_discarded = true;
  Stop();
}

DWORD WINAPI WorkerThread::ThreadMain(LPVOID self) {
  if (self == nullptr)
    return 0;
  auto* worker = static_cast<WorkerThread*>(self);
  if (worker->m_discarded)
    return 0;
  worker->Run();
  worker->AfterRun();
  return 1;
}

void WorkerThread::Resume() {
  if (m_thread == nullptr)
    return;
  m_started = true;
  ResumeThread(m_thread);
}

void WorkerThread::RequestStop() {
  m_stopRequested = true;
  m_running = 0;
  Continue();
}

void WorkerThread::Stop() {
  RequestStop();
  if (m_thread == nullptr)
    return;
  if (m_discarded && !m_started) {
    m_started = true;
    ResumeThread(m_thread);
  }
  if (m_started)
    WaitForSingleObject(m_thread, INFINITE);
}

void WorkerThread::Pause() {
  if (m_unpaused != nullptr) {
    ResetEvent(m_unpaused);
    m_pauseRequested = true;
  }
}

void WorkerThread::Continue() {
  if (m_unpaused != nullptr) {
    m_pauseRequested = false;
    SetEvent(m_unpaused);
  }
}

void WorkerThread::SafePoint() {
  // A flag read while nobody pauses; the event only once a pause was asked for.
  if (m_pauseRequested.load())
    WaitForSingleObject(m_unpaused, INFINITE);
}

// --- InstallWorker ------------------------------------------------------------------------

InstallWorker::InstallWorker() = default;

InstallWorker::~InstallWorker() {
  // The thread runs this class's Run: it must be over before this part of the object goes.
  EndThread();
}

void InstallWorker::Run() {
  if (!m_stopRequested)
    m_running = 1;
  HMODULE module = m_resources != nullptr ? m_resources : GetModuleHandleW(nullptr);
  InstallStreams streams;
  streams.uninstaller = LoadFileResource(module, 139, &streams.uninstallerSize);
  streams.payload = LoadFileResource(module, 137, &streams.payloadSize);
  const std::unique_ptr<StreamFile> payloadFile =
      PagedResource(streams.payload, streams.payloadSize);
  streams.payloadFile = payloadFile.get();
  if (m_inspected)
    streams.inspected = &*m_inspected;
  const std::u16string folder(reinterpret_cast<const char16_t*>(m_installFolder));
  Win32InstallFiles files(folder, m_registrationLimitMs, m_freshFolder);
  std::optional<LoggedFiles> logged;
  if (m_log != nullptr)
    logged.emplace(files, *m_log);
  PostedReports posted(m_owner);
  NoReports none;
  InstallReports& reports = m_owner != nullptr ? static_cast<InstallReports&>(posted) : none;
  WorkerControl control([this] { return Running(); }, [this] { SafePoint(); });
  m_outcome = RunInstallation(folder, streams, logged ? static_cast<InstallFiles&>(*logged) : files,
                              reports, control);
}

// --- Win32InstallFiles --------------------------------------------------------------------

Win32InstallFiles::Win32InstallFiles(const std::u16string& folder,
                                     DWORD registrationLimitMs,
                                     bool folderIsNew)
    : m_root(Wide(folder)), m_registrationLimitMs(registrationLimitMs) {
  // The install folder must be a real folder at its own place, with no link or junction at
  // it or on the way to it: what is written below it lands below that place.
  if (m_root.size() < 2 || m_root.back() != L'\\')
    return;
  if (!PinFolder(m_root.substr(0, m_root.size() - 1), folderIsNew))
    return;
  m_rootFinal = FinalPath(m_pins.front().handle.get());
  if (m_rootFinal.empty())
    m_pins.clear();
  else if (m_rootFinal.back() != L'\\')
    m_rootFinal += L'\\';
}

Win32InstallFiles::~Win32InstallFiles() = default;

const Win32InstallFiles::Pin* Win32InstallFiles::Held(const std::wstring& folder) const {
  // Files come folder by folder: the newest pin is nearly always the one.
  for (auto it = m_pins.rbegin(); it != m_pins.rend(); ++it) {
    if (it->folder == folder)
      return &*it;
  }
  return nullptr;
}

bool Win32InstallFiles::PinFolder(const std::wstring& folder, bool made) {
  // A link shows in its attributes even where the system follows it when opening.
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & kLinkOrFolder) != FILE_ATTRIBUTE_DIRECTORY) {
    return false;
  }
  // A folder that was there before gets the protected rights and owner, so that nobody else
  // can add to it while, and after, the run writes into it.
  const DWORD rights = made ? 0 : READ_CONTROL | WRITE_DAC | WRITE_OWNER;
  UniqueHandle handle(
      CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | rights,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  // The install folder where its path says, links on the way resolved; each folder below
  // it at its own place below that.
  BY_HANDLE_FILE_INFORMATION info{};
  if (!handle.valid() || !GetFileInformationByHandle(handle.get(), &info) ||
      (info.dwFileAttributes & kLinkOrFolder) != FILE_ATTRIBUTE_DIRECTORY ||
      !(m_pins.empty()
            ? AtItsOwnPlace(handle.get(), folder)
            : SamePath(FinalPath(handle.get()), m_rootFinal + folder.substr(m_root.size()))) ||
      (!made && !ProtectedRights::Get().ProtectExisting(handle.get()))) {
    return false;
  }
  m_pins.push_back({folder, std::move(handle), made});
  return true;
}

bool Win32InstallFiles::FoldersOnTheWay(const std::wstring& file,
                                        std::vector<std::wstring>* folders) const {
  const std::size_t last = file.rfind(L'\\');
  if (m_pins.empty() || last == std::wstring::npos || last + 1 < m_root.size() ||
      file.compare(0, m_root.size(), m_root) != 0) {
    return false;
  }
  for (std::size_t cut = file.find(L'\\', m_root.size()); cut != std::wstring::npos && cut <= last;
       cut = file.find(L'\\', cut + 1)) {
    folders->push_back(file.substr(0, cut));
  }
  return true;
}

bool Win32InstallFiles::MakeFolders(const std::u16string& path) {
  std::vector<std::wstring> folders;
  if (!FoldersOnTheWay(Wide(path), &folders))
    return false;
  // Outermost first: made when missing, then held.
  for (const std::wstring& folder : folders) {
    if (Held(folder) != nullptr)
      continue;
    const bool made =
        CreateDirectoryW(folder.c_str(), const_cast<SECURITY_ATTRIBUTES*>(
                                             ProtectedRights::Get().Folder())) != FALSE;
    if (!PinFolder(folder, made))
      return false;
  }
  return true;
}

bool Win32InstallFiles::Occupied(const std::u16string& path) {
  const std::wstring file = Wide(path);
  std::vector<std::wstring> folders;
  if (!FoldersOnTheWay(file, &folders))
    return false;
  // The folders on the way that exist are readied (proved, protected, held) before their
  // entries are looked at, so that nobody adds one in between; a missing folder holds
  // nothing, and something in the way that is no folder of its own is in the way.
  for (const std::wstring& folder : folders) {
    if (Held(folder) != nullptr)
      continue;
    if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES)
      return false;
    if (!PinFolder(folder, false))
      return true;
  }
  // Nothing can be in a folder this run made: no call needed.
  const Pin* parent = Held(file.substr(0, file.rfind(L'\\')));
  return !(parent != nullptr && parent->made) &&
         GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Win32InstallFiles::KeepAside(const std::u16string& path, const std::u16string& keptPath) {
  const std::wstring file = Wide(path);
  const std::wstring kept = Wide(keptPath);
  const std::size_t last = file.rfind(L'\\');
  if (last == std::wstring::npos || Held(file.substr(0, last)) == nullptr ||
      kept.compare(0, m_root.size(), m_root) != 0 || !MakeFolders(keptPath)) {
    return false;
  }
  const DWORD attributes = GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !IsOwnFile(file, attributes))
    return false;
  // Opened for the move without following a link; a program that holds it without letting
  // it be deleted keeps it where it is.
  const UniqueHandle handle(CreateFileW(file.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  return handle.valid() && GetFileInformationByHandle(handle.get(), &info) &&
         (info.dwFileAttributes & kLinkOrFolder) == 0 &&
         RenameThrough(handle.get(), m_rootFinal + kept.substr(m_root.size()));
}

UniqueHandle Win32InstallFiles::OpenFile(const std::u16string& path, DWORD disposition) {
  const std::wstring file = Wide(path);
  const std::size_t last = file.rfind(L'\\');
  if (last == std::wstring::npos || Held(file.substr(0, last)) == nullptr)
    return UniqueHandle();
  const ProtectedRights& rights = ProtectedRights::Get();
  const auto open = [&](DWORD how) {
    return UniqueHandle(CreateFileW(file.c_str(), GENERIC_WRITE | WRITE_DAC | FILE_READ_ATTRIBUTES,
                                    0, const_cast<SECURITY_ATTRIBUTES*>(rights.File()), how,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  };
  // The common case, a new file, in one call: CREATE_NEW makes it with its rights and
  // fails on any existing name, a link included, without following it.
  UniqueHandle handle = open(CREATE_NEW);
  if (handle.valid() || GetLastError() != ERROR_FILE_EXISTS || disposition == CREATE_NEW)
    return handle;
  // Something is there: it must be a plain file at its own place, with no other name (a hard
  // link would write into another file), and it gets the rights.
  const DWORD attributes = GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !IsOwnFile(file, attributes))
    return UniqueHandle();
  handle = open(disposition);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!handle.valid() || !GetFileInformationByHandle(handle.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks != 1 ||
      !rights.Apply(handle.get(), false)) {
    return UniqueHandle();
  }
  return handle;
}

bool Win32InstallFiles::IsOwnFile(const std::wstring& file, DWORD attributes) const {
  if ((attributes & kLinkOrFolder) != 0)
    return false;
  // Opened without following a link, it must lie where its name says: a link that does not
  // show in the attributes (Wine shows none for a file) resolves elsewhere.
  const UniqueHandle handle(CreateFileW(
      file.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle.valid())
    return true;  // whatever it is, opening it will tell
  return SamePath(FinalPath(handle.get()), m_rootFinal + file.substr(m_root.size()));
}

std::unique_ptr<InstallFiles::File> Win32InstallFiles::Create(const std::u16string& path) {
  UniqueHandle handle = OpenFile(path, CREATE_NEW);
  if (!handle.valid())
    return nullptr;
  return std::make_unique<Win32File>(handle.release());
}

std::unique_ptr<InstallFiles::File> Win32InstallFiles::Replace(const std::u16string& path) {
  UniqueHandle handle = OpenFile(path, CREATE_ALWAYS);
  if (!handle.valid())
    return nullptr;
  return std::make_unique<Win32File>(handle.release());
}

void Win32InstallFiles::WriteChannelInfo(const std::u16string& folder) {
  // The file is made (or taken over) here, with its rights, before the profile calls write
  // into it; an existing file keeps its other content.
  const std::u16string path = folder + std::u16string(kChannelFilePath);
  if (!MakeFolders(path) || !OpenFile(path, OPEN_ALWAYS).valid())
    return;
  ::WriteChannelInfo(Wide(folder), ProgramName().c_str());
}

RegistrationResult Win32InstallFiles::RegisterComponent(const std::u16string& folder) {
  return ::RegisterComponent(Wide(folder), m_registrationLimitMs);
}

std::string Win32InstallFiles::ToAnsi(std::u16string_view line) {
  if (line.empty())
    return {};
  const auto* text = reinterpret_cast<const wchar_t*>(line.data());
  const int length = static_cast<int>(line.size());
  const int needed = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(needed > 0 ? needed : 0), '\0');
  if (needed > 0) {
    WideCharToMultiByte(CP_ACP, 0, text, length, bytes.data(), needed, nullptr, nullptr);
  }
  return bytes;
}
