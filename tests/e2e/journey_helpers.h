// What the end-to-end tests share: the wizard's control ids, copies of the installer, the
// uninstall entry, the demo client, silent runs and the way to the target page.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/package/PayloadPackage.h"
#include "core/product/Product.h"
#include "core/setup/SetupOptions.h"
#include "tests/e2e/driver.h"
#include "tests/win/worker_harness.h"

inline constexpr int kBack = 20001, kNext = 20002, kCancel = 20003, kBrowse = 20004;
inline constexpr int kAutoStart = 20005, kRunNow = 20006, kShortcuts = 20007;
inline constexpr int kAgreement = 20101, kEdit = 20102, kStatus = 20201, kFreeSpace = 20202;
inline constexpr int kProgress = 20301, kTitle = 20401, kStartLater = 20407, kWaiting = 20408;

constexpr DWORD Exit(SetupExit code) {
  return static_cast<DWORD>(code);
}

inline DWORD ExitCode(HANDLE process) {
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(process, &code);
  return code;
}

// A copy of the installer under its channel name, in a folder of its own.
inline std::wstring InstallerCopy(const wchar_t* name,
                                  bool damage = false,
                                  const wchar_t* installer = SETUP_INSTALLER_W) {
  const std::wstring folder = FreshFolder(L"downloads", L"D:\\e2e\\");
  const std::wstring path = folder + name;
  std::string bytes = ReadBytes(installer);
  if (damage)
    bytes[bytes.size() / 2] ^= 0x01;
  WriteBytes(path, bytes);
  return path;
}

inline bool EntryExists() {
  HKEY key = nullptr;
  const bool found = RegOpenKeyExW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath, 0, KEY_READ,
                                   &key) == ERROR_SUCCESS;
  if (found)
    RegCloseKey(key);
  return found;
}

inline void CloseClient() {
  for (HWND w; (w = FindWindowW(L"ZephlinHallFrameWindow_Brimvale", nullptr)) != nullptr;) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    HANDLE p = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (p == nullptr)
      break;
    TerminateProcess(p, 0);
    WaitForSingleObject(p, 5000);
    CloseHandle(p);
  }
}

struct SilentRun {
  DWORD exitCode = STILL_ACTIVE;
  bool window = false;   // a visible window of the installer's appeared
  bool started = false;  // false: the system refused to start it
};

// Runs `installer` with `arguments`, watching for any window of its own until it ends.
inline SilentRun RunSilently(const std::wstring& installer, const std::wstring& arguments) {
  SilentRun run;
  HANDLE process = Launch(installer, arguments);
  if (process == nullptr)
    return run;
  run.started = true;
  struct Watch {
    DWORD pid;
    bool* seen;
  } watch{GetProcessId(process), &run.window};
  for (int i = 0; i < 2400 && WaitForSingleObject(process, 50) == WAIT_TIMEOUT; ++i) {
    EnumWindows(
        [](HWND window, LPARAM lParam) -> BOOL {
          auto& w = *reinterpret_cast<Watch*>(lParam);
          DWORD pid = 0;
          GetWindowThreadProcessId(window, &pid);
          if (pid == w.pid && IsWindowVisible(window))
            *w.seen = true;
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&watch));
  }
  GetExitCodeProcess(process, &run.exitCode);
  CloseHandle(process);
  return run;
}

// The files of the payload folder `payload` in the order the installer writes them.
inline std::vector<std::wstring> PayloadInOrder(const std::wstring& payload) {
  std::vector<std::wstring> files;
  ListFiles(payload + L"\\", L"", &files);
  std::sort(files.begin(), files.end(), [](const std::wstring& a, const std::wstring& b) {
    return PackageOrderLess(std::u16string(a.begin(), a.end()), std::u16string(b.begin(), b.end()));
  });
  return files;
}

// From a fresh start to the target page with `folder` typed in.
inline void ToTargetPage(Driver& d, const std::wstring& folder) {
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kNext, L"接受"));
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kNext, L"安装"));
  d.SetText(kEdit, folder);
}
