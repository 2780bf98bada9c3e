// What the end-to-end tests share: the wizard's control ids, copies of the installer, the
// uninstall entry, the demo client, silent runs, the way to the target page, and the
// machine's state - the product installed, or no trace of it - checked as data.
#pragma once

#include <windows.h>
// after windows.h
#include <shlobj.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "core/package/PayloadPackage.h"
#include "core/package/Utf8.h"
#include "core/product/Product.h"
#include "core/setup/SetupOptions.h"
#include "installer/flow/Finishing.h"
#include "tests/e2e/driver.h"
#include "tests/win/worker_harness.h"
#include "win/install/Shortcuts.h"

inline constexpr int kBack = 20001, kNext = 20002, kCancel = 20003, kBrowse = 20004;
inline constexpr int kAutoStart = 20005, kRunNow = 20006, kShortcuts = 20007;
inline constexpr int kAgreement = 20101, kEdit = 20102, kStatus = 20201, kFreeSpace = 20202;
inline constexpr int kProgress = 20301, kTitle = 20401, kStartLater = 20407, kWaiting = 20408;
inline constexpr int kWelcome = 20410;

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

inline std::string Utf8(const std::wstring& text) {
  return Utf16ToUtf8(std::u16string(text.begin(), text.end()));
}

// The uninstall entry's value `name`, or empty.
inline std::wstring EntryText(const wchar_t* name) {
  wchar_t value[1024] = {};
  DWORD bytes = sizeof value - sizeof(wchar_t);
  RegGetValueW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath, name, RRF_RT_REG_SZ, nullptr, value,
               &bytes);
  return value;
}

// Whether a process of the program file `file` (a name such as "regsvr32.exe") runs.
inline bool ProcessRunning(const wchar_t* file) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  bool running = false;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && !running;
       more = Process32NextW(snapshot, &entry)) {
    running = lstrcmpiW(entry.szExeFile, file) == 0;
  }
  CloseHandle(snapshot);
  return running;
}

// Whether a process of the client runs. Right after the installer ended this is certain:
// it starts the client before it ends, and the process is there from its start.
inline bool ClientRunning() {
  return ProcessRunning(product::kClientFile);
}

// Waits (up to 10 s) until no registration runs: the job that holds it ends with the
// installer's process, a moment after it.
inline void WaitForTheRegistrationToEnd() {
  WaitUntil([] { return !ProcessRunning(L"regsvr32.exe"); }, 10000);
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
  DWORD startError = 0;  // why, then
};

// Runs `installer` with `arguments`, watching for any window of its own until it ends.
inline SilentRun RunSilently(const std::wstring& installer, const std::wstring& arguments) {
  SilentRun run;
  HANDLE process = Launch(installer, arguments);
  if (process == nullptr) {
    run.startError = GetLastError();
    return run;
  }
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
  // Not ended in two minutes: ended here, so that it holds nothing the next run needs.
  if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
    TerminateProcess(process, STILL_ACTIVE);
    WaitForSingleObject(process, 5000);
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

// --- the machine's state -------------------------------------------------------------------

inline constexpr wchar_t kComponentKey[] = L"CLSID\\{6A1F3E2B-7C4D-4E59-9B1A-2D3C4B5A6978}";

struct Shortcut {
  int csidl;
  const wchar_t* name;
};
// The client's on the desktop and in the program menu, with the uninstaller's there: what
// the finish page's shortcuts box makes.
inline constexpr Shortcut kMenuAndDesktopShortcuts[] = {
    {CSIDL_COMMON_DESKTOPDIRECTORY, product::kClientShortcut},
    {CSIDL_COMMON_PROGRAMS, product::kMenuClientShortcut},
    {CSIDL_COMMON_PROGRAMS, product::kMenuUninstallShortcut},
};
inline constexpr Shortcut kStartupShortcut = {CSIDL_STARTUP, product::kClientShortcut};

inline bool Exists(const Shortcut& s) {
  return Exists(ShortcutPath(s.csidl, s.name));
}

inline bool AnyShortcut() {
  return Exists(kStartupShortcut) ||
         std::any_of(std::begin(kMenuAndDesktopShortcuts), std::end(kMenuAndDesktopShortcuts),
                     [](const Shortcut& s) { return Exists(s); });
}

inline bool ComponentRegistered() {
  HKEY key = nullptr;
  const bool found =
      RegOpenKeyExW(HKEY_CLASSES_ROOT, kComponentKey, 0, KEY_READ, &key) == ERROR_SUCCESS;
  if (found)
    RegCloseKey(key);
  return found;
}

// A machine without the product: no client running, no entry, shortcut or registration.
inline void CleanMachine() {
  CloseClient();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath);
  RegDeleteTreeW(HKEY_CLASSES_ROOT, kComponentKey);
  DeleteShortcut(kStartupShortcut.csidl, kStartupShortcut.name);
  for (const Shortcut& s : kMenuAndDesktopShortcuts)
    DeleteShortcut(s.csidl, s.name);
}

// Every file and folder below `root` (ending with '\'), folders ending with '\', sorted.
inline std::vector<std::wstring> Listing(const std::wstring& root,
                                         const std::wstring& prefix = L"") {
  std::vector<std::wstring> out;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((root + prefix + L"*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE)
    return out;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..")
      continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      out.push_back(prefix + name + L"\\");
      const std::vector<std::wstring> below = Listing(root, prefix + name + L"\\");
      out.insert(out.end(), below.begin(), below.end());
    } else {
      out.push_back(prefix + name);
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(out.begin(), out.end());
  return out;
}

inline std::string Joined(const std::vector<std::wstring>& names) {
  std::string text;
  for (const std::wstring& n : names)
    text += (text.empty() ? "" : ", ") + Utf8(n);
  return text.empty() ? "(nothing)" : text;
}

// The demo installer's installation (setup_portal_77.exe, the demo payload) in `folder`
// (ending with '\'), as a journey expects it after the installer.
struct Installed {
  std::wstring folder;
  bool shortcuts = true;                     // the desktop's and the program menu's
  bool startup = false;                      // the client's in Startup
  std::wstring version = product::kVersion;  // the release's, and its first two numbers
  unsigned major = product::kVersionMajor;
  unsigned minor = product::kVersionMinor;
};

// Checks the installation `expected`: every payload file with the payload's bytes, the
// uninstaller, a manifest with its folder list, the channel file, the folder's rights
// (administrators' only), the uninstall entry and its version, the component registered
// from the folder, and the shortcuts it says - no others.
inline void ExpectInstalled(const Installed& expected) {
  const std::wstring& folder = expected.folder;
  SCOPED_TRACE("installed in " + Utf8(folder));
  const std::wstring payload = std::wstring(SETUP_DEMO_PAYLOAD_W) + L"\\";
  std::vector<std::wstring> files;
  ListFiles(payload, L"", &files);
  ASSERT_FALSE(files.empty());
  for (const std::wstring& file : files) {
    EXPECT_TRUE(Exists(folder + file) && ReadBytes(folder + file) == ReadBytes(payload + file))
        << Utf8(file) << " is missing or not the payload's";
  }
  EXPECT_TRUE(Exists(folder + product::kUninstallerFile));
  EXPECT_NE(ReadBytes(folder + product::kManifestFile).find("[InstallDirectoryInfo]"),
            std::string::npos)
      << "the manifest has no folder list";
  EXPECT_EQ(ReadBytes(folder + product::kChannelFile),
            "[SpreadInfo]\r\nSpreadPlat=portal\r\nSubDetailInfo=77\r\n");
  EXPECT_FALSE(EveryoneMay(folder)) << "the folder has not the program folder's rights";
  EXPECT_TRUE(EntryExists());
  EXPECT_EQ(EntryText(L"DisplayVersion"), expected.version);
  for (const auto& [name, number] :
       {std::pair{L"VersionMajor", expected.major}, std::pair{L"VersionMinor", expected.minor}}) {
    DWORD value = ~0u, bytes = sizeof value;
    RegGetValueW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath, name, RRF_RT_REG_DWORD, nullptr,
                 &value, &bytes);
    EXPECT_EQ(value, number) << Utf8(name);
  }
  EXPECT_EQ(EntryText(L"InstallDate").size(), 8u) << "InstallDate is not yyyymmdd";
  EXPECT_EQ(EntryText(L"URLInfoAbout"), product::kAboutUrl);
  EXPECT_EQ(RegisteredServer(), folder + product::kComponentFile);
  for (const Shortcut& s : kMenuAndDesktopShortcuts)
    EXPECT_EQ(Exists(s), expected.shortcuts) << Utf8(s.name);
  EXPECT_EQ(Exists(kStartupShortcut), expected.startup) << "the start-up shortcut";
}

// A check of the machine's state that failed, and what was found instead.
struct Difference {
  std::string check;
  std::string found;
};

// What differs from a machine without the product: an uninstall entry, a shortcut, the
// component registered, and in `folder` anything but `kept` (paths of the user's files in
// it) and the folders on their way - no folder at all when nothing is kept. Waits up to 20
// seconds for the folder to settle: the uninstaller's clean-up helper deletes uninstall.exe,
// and the folder, a second after the uninstaller ends.
inline std::vector<Difference> NotClean(const std::wstring& folder,
                                        const std::vector<std::wstring>& kept = {}) {
  std::vector<std::wstring> wanted;
  for (const std::wstring& file : kept) {
    wanted.push_back(file);
    for (std::size_t at = file.find(L'\\'); at != std::wstring::npos;
         at = file.find(L'\\', at + 1)) {
      wanted.push_back(file.substr(0, at + 1));
    }
  }
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  std::vector<std::wstring> left;
  // Where nothing is kept the folder is only looked at, never opened, while the clean-up
  // helper may be removing it: a folder being listed cannot be removed.
  const bool settled = WaitUntil(
      [&] {
        if (kept.empty())
          return !Exists(folder);
        left = Listing(folder);
        return left == wanted;
      },
      20000);
  std::vector<Difference> differences;
  if (!settled) {
    left = Listing(folder);
    differences.push_back(
        {kept.empty() ? "no install folder is left" : "only the user's files are left",
         Joined(left)});
  }
  if (EntryExists())
    differences.push_back({"no uninstall entry", "there is one"});
  if (AnyShortcut())
    differences.push_back({"no shortcut", "there is one"});
  if (ComponentRegistered())
    differences.push_back({"the component is not registered", "it is"});
  return differences;
}

inline void ExpectClean(const std::wstring& folder, const std::vector<std::wstring>& kept = {}) {
  for (const Difference& d : NotClean(folder, kept))
    ADD_FAILURE() << Utf8(folder) << ": " << d.check << "; found: " << d.found;
}

// From a fresh start to the target page with `folder` typed in.
inline void ToTargetPage(Driver& d, const std::wstring& folder) {
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kNext, L"接受"));
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kNext, L"安装"));
  d.SetText(kEdit, folder);
}
