#include "install/InstallWorker.h"

#include <cstring>
#include <functional>
#include <new>

#include "install/ChannelInfo.h"
#include "install/Directories.h"
#include "install/Registration.h"

namespace {

constexpr DWORD kStopWaitMs = 15000;

const wchar_t* Wide(const std::u16string& s) {
  return reinterpret_cast<const wchar_t*>(s.c_str());
}

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
class PostedReports : public InstallReports {
 public:
  explicit PostedReports(HWND owner) : owner_(owner) {}
  void Report(int code, const std::u16string* path) override {
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

 private:
  HWND owner_;
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
  // A thread that never ran is discarded; one that ran must end before its object goes.
  if (m_thread == nullptr)
    return;
  if (!m_started) {
    TerminateThread(m_thread, 0);
    m_started = true;  // nothing left to discard
  } else if (WaitForSingleObject(m_thread, 0) != WAIT_OBJECT_0) {
    Stop();
  }
}

DWORD WINAPI WorkerThread::ThreadMain(LPVOID self) {
  if (self == nullptr)
    return 0;
  auto* worker = static_cast<WorkerThread*>(self);
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

void WorkerThread::Stop() {
  m_stopRequested = true;
  m_running = 0;
  Continue();
  if (m_thread == nullptr || !m_started)
    return;
  if (WaitForSingleObject(m_thread, kStopWaitMs) == WAIT_TIMEOUT)
    TerminateThread(m_thread, 0);
}

void WorkerThread::Pause() {
  if (m_unpaused != nullptr)
    ResetEvent(m_unpaused);
}

void WorkerThread::Continue() {
  if (m_unpaused != nullptr)
    SetEvent(m_unpaused);
}

void WorkerThread::SafePoint() {
  if (m_unpaused != nullptr)
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
  Win32InstallFiles files;
  PostedReports reports(m_owner);
  WorkerControl control([this] { return Running(); }, [this] { SafePoint(); });
  const std::u16string folder(reinterpret_cast<const char16_t*>(m_installFolder));
  m_outcome = RunInstallation(folder, streams, files, reports, control);
}

// --- Win32InstallFiles --------------------------------------------------------------------

bool Win32InstallFiles::MakeFolders(const std::u16string& path) {
  return EnsureDirectories(Wide(path)) != FALSE;
}

std::unique_ptr<InstallFiles::File> Win32InstallFiles::Create(const std::u16string& path) {
  HANDLE h = CreateFileW(Wide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    return nullptr;
  return std::make_unique<Win32File>(h);
}

void Win32InstallFiles::WriteChannelInfo(const std::u16string& folder) {
  ::WriteChannelInfo(Wide(folder), ProgramName().c_str());
}

void Win32InstallFiles::RegisterComponent(const std::u16string& folder) {
  ::RegisterComponent(Wide(folder));
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
