// Helpers for running an install worker in a test or a benchmark: fresh folders, a
// message-only window that receives the worker's reports, file contents, a desktop without
// a shell.
#pragma once

#include <windows.h>
// after windows.h
#include <aclapi.h>
#include <sddl.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/e2e/driver.h"
#include "win/install/Directories.h"
#include "win/install/InstallWorker.h"

inline std::string ReadBytes(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Removes the folder `folder` (ending with '\') and everything in it, never following a
// link inside it.
inline void RemoveTree(const std::wstring& folder) {
  std::vector<std::wstring> stack = {folder};
  std::vector<std::wstring> folders;
  while (!stack.empty()) {
    const std::wstring dir = stack.back();
    stack.pop_back();
    folders.push_back(dir);
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
      continue;
    do {
      const std::wstring n = data.cFileName;
      if (n == L"." || n == L"..")
        continue;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        RemoveDirectoryW((dir + n).c_str());  // a link: never follow it
        DeleteFileW((dir + n).c_str());
      } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        stack.push_back(dir + n + L"\\");
      } else {
        SetFileAttributesW((dir + n).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW((dir + n).c_str());
      }
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  for (auto it = folders.rbegin(); it != folders.rend(); ++it)
    RemoveDirectoryW(it->c_str());
}

// Why drive F: is not the small disk that the full-disk tests fill - a 256 KiB tmpfs that
// scripts/wine-env.sh mounts as root, or as any other user in a namespace of its own - or
// empty when it is.
inline std::string NoSmallDisk() {
  ULARGE_INTEGER total{};
  if (GetDriveTypeW(L"F:\\") != DRIVE_FIXED ||
      !GetDiskFreeSpaceExW(L"F:\\", nullptr, &total, nullptr)) {
    return "no drive F: (scripts/wine-env.sh could not mount its small disk)";
  }
  if (total.QuadPart > 1024 * 1024) {
    return "drive F: holds " + std::to_string(total.QuadPart) +
           " bytes: not the small disk (does Wine run outside the namespace that holds it?)";
  }
  return "";
}

// A fresh, empty folder `root` + `name` + '\' for one test.
inline std::wstring FreshFolder(const wchar_t* name, const wchar_t* root = L"D:\\worker\\") {
  const std::wstring folder = std::wstring(root) + name + L"\\";
  RemoveTree(folder);
  EnsureDirectories(folder.c_str());
  return folder;
}

// Whether Wine's synthesized descriptor of `path` grants Everyone anything. Wine keeps no
// descriptor per file: it maps a DACL onto the Unix mode bits and builds one from them on
// reading, with an Everyone entry for the "other" bits. A file made with the inherited
// rights has one; one made with the program folder's rights (no Everyone) has none.
inline bool EveryoneMay(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return true;
  }
  wchar_t* text = nullptr;
  ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                       DACL_SECURITY_INFORMATION, &text, nullptr);
  const bool everyone = text != nullptr && std::wstring(text).find(L";;;WD)") != std::wstring::npos;
  LocalFree(text);
  LocalFree(descriptor);
  return everyone;
}

// The file the demo component is registered to, or empty.
inline std::wstring RegisteredServer() {
  wchar_t value[MAX_PATH] = {};
  LONG size = sizeof value;
  RegQueryValueW(HKEY_CLASSES_ROOT,
                 L"CLSID\\{6A1F3E2B-7C4D-4E59-9B1A-2D3C4B5A6978}\\InprocServer32", value, &size);
  return value;
}

// Sets environment variables for this process and the programs it starts, and puts them
// back as they were (an empty value removes one).
class EnvironmentVariables {
 public:
  using Values = std::vector<std::pair<std::wstring, std::wstring>>;
  explicit EnvironmentVariables(const Values& values) {
    for (const auto& [name, value] : values) {
      wchar_t old[4096] = {};
      const DWORD n = GetEnvironmentVariableW(name.c_str(), old, 4096);
      saved_.emplace_back(name, n > 0 && n < 4096 ? std::wstring(old) : std::wstring());
      SetEnvironmentVariableW(name.c_str(), value.empty() ? nullptr : value.c_str());
    }
  }
  ~EnvironmentVariables() {
    for (const auto& [name, value] : saved_)
      SetEnvironmentVariableW(name.c_str(), value.empty() ? nullptr : value.c_str());
  }
  EnvironmentVariables(const EnvironmentVariables&) = delete;
  EnvironmentVariables& operator=(const EnvironmentVariables&) = delete;

 private:
  std::vector<std::pair<std::wstring, std::wstring>> saved_;
};

struct Report {
  int code;
  std::wstring path;
};

// Runs a worker into `folder`, receiving its reports in a message-only window, until its
// thread ends; `onReport` sees each report as it arrives. Empty when no window could be made.
inline std::vector<Report> RunWorker(InstallWorker& worker,
                                     const std::wstring& folder,
                                     void (*onReport)(InstallWorker&, const Report&) = nullptr) {
  HWND window = CreateWindowExW(0, L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                nullptr, nullptr);
  if (window == nullptr)
    return {};
  wcscpy_s(worker.installFolder_, folder.c_str());
  worker.owner_ = window;
  worker.Resume();
  std::vector<Report> reports;
  auto drain = [&] {
    MSG message;
    while (PeekMessageW(&message, window, WM_INSTALL_PROGRESS, WM_INSTALL_PROGRESS, PM_REMOVE)) {
      const auto* block = reinterpret_cast<const wchar_t*>(message.lParam);
      reports.push_back({static_cast<int>(message.wParam), block ? block : L""});
      FreePathBlock(message.lParam);
      if (onReport)
        onReport(worker, reports.back());
    }
  };
  HANDLE thread = worker.Thread();
  while (MsgWaitForMultipleObjects(1, &thread, FALSE, 60000, QS_ALLPOSTMESSAGE) ==
         WAIT_OBJECT_0 + 1) {
    drain();
  }
  drain();
  DestroyWindow(window);
  return reports;
}

// Relative paths of every file below `root` (a folder path ending with '\'), appended to
// `out` in the order the folder enumeration gives them.
inline void ListFiles(const std::wstring& root,
                      const std::wstring& prefix,
                      std::vector<std::wstring>* out) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((root + prefix + L"*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE)
    return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..")
      continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ListFiles(root, prefix + name + L"\\", out);
    } else {
      out->push_back(prefix + name);
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

// Writes `bytes` to `path`, making its folders.
inline void WriteBytes(const std::wstring& path, const std::string& bytes) {
  EnsureDirectories(path.c_str());
  std::ofstream(path.c_str(), std::ios::binary | std::ios::trunc) << bytes;
}

// Starts `program` with `arguments` (its path quoted first) in `folder` (or the current
// one); the process handle, to be closed by the caller, or null.
inline HANDLE Launch(const std::wstring& program,
                     const std::wstring& arguments = L"",
                     const wchar_t* folder = nullptr) {
  std::wstring command = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, folder,
                      &startup, &process)) {
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

// A desktop without a shell, as a service or a deployment in session 0 has: the desktop
// "Default" of a window station of its own that is not visible. Wine starts an explorer.exe
// with a taskbar for every desktop of the visible station WinSta0, however new, but none
// for a station that is not visible - decided when a thread first asks for its desktop's
// window, by the station its process has at that moment.
class DesktopWithoutShell {
 public:
  static constexpr wchar_t kName[] = L"SetupNoShell\\Default";  // for STARTUPINFO's lpDesktop

  DesktopWithoutShell() {
    const HWINSTA mine = GetProcessWindowStation();
    station_ = CreateWindowStationW(L"SetupNoShell", 0, WINSTA_ALL_ACCESS, nullptr);
    if (station_ != nullptr && SetProcessWindowStation(station_)) {
      desktop_ = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
      SetProcessWindowStation(mine);
    }
  }
  ~DesktopWithoutShell() {
    if (desktop_ != nullptr)
      CloseDesktop(desktop_);
    if (station_ != nullptr)
      CloseWindowStation(station_);
  }
  DesktopWithoutShell(const DesktopWithoutShell&) = delete;
  DesktopWithoutShell& operator=(const DesktopWithoutShell&) = delete;

  // Runs `body` on a thread of its own switched to this desktop, and waits for it; false,
  // running nothing, when the thread could not be switched.
  template <class Body>
  bool Run(Body body) {
    bool entered = false;
    std::thread([&] {
      const HWINSTA mine = GetProcessWindowStation();
      if (desktop_ != nullptr && SetProcessWindowStation(station_)) {
        entered = SetThreadDesktop(desktop_) != FALSE;
        GetDesktopWindow();  // while the process's station is the one not visible
        SetProcessWindowStation(mine);
      }
      if (entered)
        body();
    }).join();
    return entered;
  }

 private:
  HWINSTA station_ = nullptr;
  HDESK desktop_ = nullptr;
};

#ifdef SETUP_DRIVE_D_UNIX
// Runs a host program (`tool`, e.g. "ln") on `path`, a path on drive D: with ASCII names,
// after `arguments`. Wine starts a host program given by its Z: path without a handle to
// wait on, so the caller waits for the result itself.
inline bool RunHostTool(const char* tool, const std::string& arguments, const std::wstring& path) {
  std::string unixPath = SETUP_DRIVE_D_UNIX;
  for (const wchar_t c : path.substr(2))
    unixPath += c == L'\\' ? '/' : static_cast<char>(c);
  const std::string line = std::string("/bin/") + tool + " " + arguments + " " + unixPath;
  std::wstring command(line.begin(), line.end());
  const std::string program = std::string("Z:\\bin\\") + tool;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};  // Wine gives no handles for a host program
  return CreateProcessW(std::wstring(program.begin(), program.end()).c_str(), command.data(),
                        nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process) != FALSE;
}

// Makes `link` a host symbolic link to `target` (relative to the link's folder). Wine
// cannot make links itself but shows a host link to a folder as a reparse point.
inline bool PlantHostLink(const std::wstring& link, const std::string& target) {
  return RunHostTool("ln", "-sfn " + target, link) &&
         WaitUntil([&] { return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; },
                   5000);
}

// Removes the host link `link` itself: Wine, asked to delete a link to a file, deletes its
// target, so a test removes what it planted this way before the next run clears its folder.
inline void RemoveHostLink(const std::wstring& link) {
  if (RunHostTool("rm", "-f", link))
    WaitUntil([&] { return GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; }, 5000);
}
#endif

// Runs `program` and waits for it (up to `milliseconds`); its exit code, or STILL_ACTIVE
// when it did not end (or could not start).
inline DWORD RunForExitCode(const std::wstring& program,
                            const std::wstring& arguments = L"",
                            const wchar_t* folder = nullptr,
                            DWORD milliseconds = 60000) {
  HANDLE process = Launch(program, arguments, folder);
  if (process == nullptr)
    return STILL_ACTIVE;
  DWORD code = STILL_ACTIVE;
  if (WaitForSingleObject(process, milliseconds) == WAIT_OBJECT_0)
    GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return code;
}

// True when `program` ran to its end within `milliseconds`.
inline bool RunToEnd(const std::wstring& program,
                     const std::wstring& arguments = L"",
                     const wchar_t* folder = nullptr,
                     DWORD milliseconds = 60000) {
  return RunForExitCode(program, arguments, folder, milliseconds) != STILL_ACTIVE;
}
