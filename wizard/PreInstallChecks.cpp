#include "wizard/PreInstallChecks.h"

#include <cwchar>

#include "install/CommandLine.h"
#include "install/InstallFolder.h"
#include "install/InstallRun.h"
#include "install/InstallWorker.h"
#include "product/Product.h"

namespace {

constexpr wchar_t kCaption[] = L"提示";

// "12.3 MB" or "1.2 GB".
std::wstring Size(std::uint64_t bytes) {
  wchar_t text[32];
  const double megabytes = static_cast<double>(bytes) / 1048576.0;
  if (megabytes >= 1024.0)
    swprintf(text, 32, L"%.1f GB", megabytes / 1024.0);
  else
    swprintf(text, 32, L"%.1f MB", megabytes);
  return text;
}

}  // namespace

std::wstring ApplicationName() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring name = path;
  name = name.substr(name.find_last_of(L"\\/") + 1);
  const std::size_t dot = name.rfind(L'.');
  return dot == std::wstring::npos ? name : name.substr(0, dot);
}

int Ask(HWND owner, const std::wstring& text) {
  return MessageBoxW(owner, text.c_str(), kCaption, MB_YESNO);
}

void Tell(HWND owner, const std::wstring& text) {
  MessageBoxW(owner, text.c_str(), ApplicationName().c_str(), MB_OK);
}

bool RunAndWait(std::wstring command, const wchar_t* folder, const BusyWait& wait) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, folder,
                      &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  wait(process.hProcess, INFINITE);
  CloseHandle(process.hProcess);
  return true;
}

bool EndRunningClient(HWND owner, const BusyWait& wait) {
  if (FindWindowW(product::kClientWindowClass, nullptr) == nullptr)
    return true;
  if (Ask(owner, L"程序正在运行，点击确定将终止后继续") != IDYES)
    return false;
  for (HWND window; (window = FindWindowW(product::kClientWindowClass, nullptr)) != nullptr;) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    const bool ended = process != nullptr && TerminateProcess(process, 0);
    // Wait for the process to be gone before looking again: its window lingers briefly.
    if (ended)
      wait(process, 5000);
    if (process != nullptr)
      CloseHandle(process);
    if (!ended) {
      Tell(owner, L"终止程序失败，请尝试手动关闭");
      return false;
    }
  }
  return true;
}

bool RemovePreviousInstallation(HWND owner, const BusyWait& wait) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath, 0, KEY_READ | KEY_WRITE,
                    &key) != ERROR_SUCCESS) {
    return true;
  }
  if (Ask(owner, L"你已经安装过此程序，需卸载后继续") != IDYES) {
    RegCloseKey(key);
    return false;
  }
  wchar_t value[1024] = {};
  DWORD type = 0;
  DWORD bytes = sizeof value - sizeof(wchar_t);
  const bool readable = RegQueryValueExW(key, L"UninstallString", nullptr, &type,
                                         reinterpret_cast<BYTE*>(value), &bytes) == ERROR_SUCCESS &&
                        (type == REG_SZ || type == REG_EXPAND_SZ) && bytes % 2 == 0;
  RegCloseKey(key);
  if (readable && value[0] != L'\0')
    RunAndWait(PreviousUninstallerCommand(value), nullptr, wait);
  return true;
}

FolderSuggestion SuggestTargetFolder() {
  std::wstring folder = std::wstring(L"X:\\") + product::kFolderName;
  wchar_t windows[256] = {};
  GetWindowsDirectoryW(windows, 256);
  folder[0] = windows[0];
  folder[1] = windows[1];
  wchar_t drives[256] = {};
  GetLogicalDriveStringsW(255, drives);
  std::wstring line = L"可用空间： ";
  bool choosing = true;
  for (const wchar_t* root = drives; *root != L'\0'; root += std::wcslen(root) + 1) {
    ULARGE_INTEGER available{}, total{}, free{};
    GetDiskFreeSpaceExW(root, &available, &total, &free);
    wchar_t item[64];
    swprintf(item, 64, L"%lc%lc%0.1fG ", root[0], root[1],
             static_cast<double>(free.QuadPart) / 1073741824.0);
    line += item;
    if (choosing && root[0] != folder[0]) {
      folder[0] = root[0];
      choosing = false;
    }
  }
  return {folder, line};
}

PackageFacts InspectInstallerPackage(HMODULE module) {
  PackageFacts facts;
  std::uint32_t size = 0;
  const std::uint8_t* payload = LoadFileResource(module, 137, &size);
  PackageCheck check;
  // An unreadable package is refused by the worker before it writes anything.
  if (payload == nullptr || !InspectPackage(payload, size, &check, &facts.fileSizes))
    return facts;
  facts.readable = true;
  facts.longestPath = check.longestPath;
  std::uint32_t uninstallerSize = 0;
  const std::uint8_t* uninstaller = LoadFileResource(module, 139, &uninstallerSize);
  facts.fileSizes.push_back(InflatedStreamSize(uninstaller, uninstallerSize, kUninstallerLimit));
  return facts;
}

SpaceEstimate EstimateSpace(const std::wstring& folder, const PackageFacts& package) {
  SpaceEstimate estimate;
  // The folder may not exist yet: its volume is that of the nearest folder above it.
  wchar_t volume[MAX_PATH] = {};
  if (!GetVolumePathNameW(folder.c_str(), volume, MAX_PATH))
    return estimate;
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
  ULARGE_INTEGER available{}, total{}, free{};
  if (!GetDiskFreeSpaceExW(volume, &available, &total, &free))
    return estimate;
  GetDiskFreeSpaceW(volume, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters);
  estimate.known = true;
  estimate.volume = volume;
  if (estimate.volume.size() > 2 && estimate.volume.back() == L'\\')
    estimate.volume.pop_back();
  estimate.available = available.QuadPart;
  estimate.needed = SpaceNeeded(package.fileSizes,
                                static_cast<std::uint64_t>(sectorsPerCluster) * bytesPerSector);
  return estimate;
}

std::wstring SpaceWarning(const SpaceEstimate& estimate) {
  return L"磁盘空间可能不足：" + estimate.volume + L" 需要 " + Size(estimate.needed) + L"，可用 " +
         Size(estimate.available) + L"。是否仍要继续安装？";
}
