#include "uninstaller/UninstallApp.h"

#include <commctrl.h>
#include <shlobj.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr wchar_t kCaption[] = L"提示";
constexpr wchar_t kClientRunning[] = L"Korvel正在运行，请终止后卸载";
constexpr wchar_t kConfirm[] = L"是否要卸载Korvel视频安装版";
constexpr wchar_t kRemoved[] = L"Korvel视频安装版成功从你的计算机移除";
constexpr char kClientClass[] = "ZephlinHallFrameWindow_Brimvale";
constexpr char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr wchar_t kEntryName[] = L"Korvel视频安装版";
constexpr wchar_t kClientShortcut[] = L"Korvel互动.lnk";
constexpr wchar_t kMenuClientShortcut[] = L"brimvale\\Korvel互动.lnk";
constexpr wchar_t kMenuUninstallShortcut[] = L"brimvale\\uninstall.lnk";
constexpr char kMenuFolder[] = "brimvale";

// Text in the system's ANSI code page, from the wide literals above: the same bytes the
// installer's ANSI manifest and the system's own single-byte calls use.
std::string Ansi(const wchar_t* text) {
  const int needed = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 1)
    return {};
  std::string out(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), needed, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(needed - 1));
  return out;
}

void Message(const wchar_t* text, UINT type, int* answer = nullptr) {
  const int result = MessageBoxA(nullptr, Ansi(text).c_str(), Ansi(kCaption).c_str(), type);
  if (answer != nullptr)
    *answer = result;
}

// Positions of the '\' and '/' separators of an ANSI string, skipping the trail bytes of
// double-byte characters (a trail byte may be 0x5C).
std::vector<std::size_t> Separators(const std::string& s) {
  std::vector<std::size_t> at;
  for (const char* p = s.c_str(); *p != '\0'; p = CharNextA(p)) {
    if (*p == '\\' || *p == '/')
      at.push_back(static_cast<std::size_t>(p - s.c_str()));
  }
  return at;
}

std::string ModulePath() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0)
      return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

// The folder of a path, up to and including its last separator.
std::string FolderOf(const std::string& path) {
  const std::vector<std::size_t> separators = Separators(path);
  return separators.empty() ? std::string() : path.substr(0, separators.back() + 1);
}

std::string ReadValue(const std::string& manifest, const char* section, const std::string& key) {
  std::string value(1024, '\0');
  for (;;) {
    const DWORD n = GetPrivateProfileStringA(section, key.c_str(), "", value.data(),
                                             static_cast<DWORD>(value.size()), manifest.c_str());
    if (n + 1 < value.size()) {
      value.resize(n);
      return value;
    }
    value.resize(value.size() * 2);  // the value filled the buffer: read it whole
  }
}

bool HasAttribute(const std::string& path, DWORD attribute) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & attribute) != 0;
}

// True when a folder on the way from `folder` to `relative` (or, with `itself`, the entry
// itself) is a reparse point: a junction or symbolic link would lead the deletion out of
// the install folder.
bool ThroughReparsePoint(const std::string& folder, const std::string& relative, bool itself) {
  for (const std::size_t at : Separators(relative)) {
    if (HasAttribute(folder + relative.substr(0, at), FILE_ATTRIBUTE_REPARSE_POINT))
      return true;
  }
  return itself && HasAttribute(folder + relative, FILE_ATTRIBUTE_REPARSE_POINT);
}

std::string SpecialFolder(int csidl) {
  IMalloc* allocator = nullptr;
  if (FAILED(SHGetMalloc(&allocator)))
    return {};
  LPITEMIDLIST list = nullptr;
  std::string path;
  if (SUCCEEDED(SHGetSpecialFolderLocation(nullptr, csidl, &list))) {
    char buffer[MAX_PATH] = {};
    if (SHGetPathFromIDListA(list, buffer))
      path = buffer;
    allocator->Free(list);
  }
  allocator->Release();
  return path;
}

void DeleteShortcut(int csidl, const wchar_t* name) {
  const std::string folder = SpecialFolder(csidl);
  if (!folder.empty())
    DeleteFileA((folder + "\\" + Ansi(name)).c_str());
}

using RegDeleteKeyExAFunction = LONG(WINAPI*)(HKEY, LPCSTR, REGSAM, DWORD);

void DeleteUninstallEntry() {
  static const auto deleteKeyEx = reinterpret_cast<RegDeleteKeyExAFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("Advapi32.dll"), "RegDeleteKeyExA")));
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ | KEY_WRITE, &key) !=
      ERROR_SUCCESS) {
    return;
  }
  const std::string entry = Ansi(kEntryName);
  if (deleteKeyEx != nullptr) {
    deleteKeyEx(key, entry.c_str(), 0, 0);
  } else {
    RegDeleteKeyA(key, entry.c_str());
  }
  RegCloseKey(key);
}

// The running program cannot delete its own file: a temporary copy, deleted by the system
// when its last handle goes, waits for this process to end and then deletes it.
void ScheduleSelfDelete() {
  const std::string self = ModulePath();
  char temporaryFolder[MAX_PATH] = {};
  char copy[MAX_PATH] = {};
  if (self.empty() || GetTempPathA(MAX_PATH, temporaryFolder) == 0 ||
      GetTempFileNameA(temporaryFolder, "Del", 0, copy) == 0) {
    return;
  }
  if (!CopyFileA(self.c_str(), copy, FALSE)) {
    DeleteFileA(copy);
    return;
  }
  HANDLE copyHandle = CreateFileA(copy, 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  HANDLE process = OpenProcess(SYNCHRONIZE, TRUE, GetCurrentProcessId());
  std::string command = std::string(copy) + " " +
                        std::to_string(reinterpret_cast<std::uintptr_t>(process)) + " \"" + self +
                        "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION started{};
  if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, temporaryFolder,
                     &startup, &started)) {
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
  }
  if (copyHandle != INVALID_HANDLE_VALUE)
    CloseHandle(copyHandle);
  if (process != nullptr)
    CloseHandle(process);
}

void Remove(bool silent) {
  const std::string folder = FolderOf(ModulePath());
  if (folder.empty())
    return;
  const std::string manifest = folder + "uninstall.ini";

  for (unsigned n = 0;; ++n) {
    const std::string value = ReadValue(manifest, "InstallFileInfo", "FILE" + std::to_string(n));
    if (value.empty())
      break;
    if (!IsSafeManifestPath(value) || ThroughReparsePoint(folder, value, false))
      continue;
    DeleteFileA((folder + value).c_str());
  }
  for (unsigned n = 0;; ++n) {
    const std::string value =
        ReadValue(manifest, "InstallDirectoryInfo", "DIRECTORY" + std::to_string(n));
    if (value.empty())
      break;
    if (!IsSafeManifestPath(value) || ThroughReparsePoint(folder, value, true))
      continue;
    if (HasAttribute(folder + value, FILE_ATTRIBUTE_DIRECTORY))
      RemoveFolderIfEmpty(folder + value);
  }
  DeleteFileA(manifest.c_str());

  DeleteShortcut(CSIDL_STARTUP, kClientShortcut);
  DeleteShortcut(CSIDL_COMMON_DESKTOPDIRECTORY, kClientShortcut);
  DeleteShortcut(CSIDL_COMMON_PROGRAMS, kMenuClientShortcut);
  DeleteShortcut(CSIDL_COMMON_PROGRAMS, kMenuUninstallShortcut);
  const std::string programs = SpecialFolder(CSIDL_COMMON_PROGRAMS);
  if (!programs.empty())
    RemoveDirectoryA((programs + "\\" + kMenuFolder).c_str());
  DeleteUninstallEntry();

  if (!silent)
    Message(kRemoved, MB_OK);
  ScheduleSelfDelete();
}

// The clean-up helper: `handle` is the first uninstaller's process, inherited.
void CleanUp(const char* handle, const char* uninstaller) {
  const auto process = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::atoll(handle)));
  WaitForSingleObject(process, INFINITE);
  Sleep(1000);
  DeleteFileA(uninstaller);
  const std::string folder = FolderOf(uninstaller);
  if (!folder.empty())
    RemoveDirectoryA(folder.substr(0, folder.size() - 1).c_str());
}

void InitControls() {
  // Loaded from the system folder by full search rule, never from beside the program.
  HMODULE comctl = LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (comctl == nullptr)
    return;
  using Init = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  const auto init = reinterpret_cast<Init>(
      reinterpret_cast<void*>(GetProcAddress(comctl, "InitCommonControlsEx")));
  if (init != nullptr) {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
    init(&controls);
  }
}

}  // namespace

bool IsSafeManifestPath(const std::string& value) {
  if (value.empty() || value[0] == '\\' || value[0] == '/')
    return false;
  if (value.find(':') != std::string::npos)
    return false;  // a drive or a stream
  std::size_t start = 0;
  std::vector<std::size_t> separators = Separators(value);
  separators.push_back(value.size());
  for (const std::size_t end : separators) {
    if (value.compare(start, end - start, "..") == 0)
      return false;
    start = end + 1;
  }
  return true;
}

void RemoveFolderIfEmpty(const std::string& folder) {
  bool removable = true;
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((folder + "\\*.*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (std::strcmp(entry.cFileName, ".") == 0 || std::strcmp(entry.cFileName, "..") == 0) {
        continue;
      }
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
          lstrcmpiA(entry.cFileName, "Thumbs.db") != 0) {
        removable = false;
        break;
      }
      DeleteFileA((folder + "\\" + entry.cFileName).c_str());
    } while (FindNextFileA(find, &entry));
    FindClose(find);
  }
  if (removable)
    RemoveDirectoryA(folder.c_str());
}

BOOL CUninstallApp::InitInstance() {
  InitControls();
  if (FindWindowA(kClientClass, nullptr) != nullptr) {
    Message(kClientRunning, MB_OK);
    return FALSE;
  }
  const int argc = __argc;
  char** const argv = __argv;
  if (argc == 1) {
    int answer = IDNO;
    Message(kConfirm, MB_YESNO, &answer);
    if (answer == IDYES)
      Remove(false);
  } else if (argc == 2) {
    if (std::strcmp(argv[1], "-silent") == 0)
      Remove(true);  // byte for byte
  } else if (argc == 3) {
    CleanUp(argv[1], argv[2]);
  }
  return FALSE;
}
