#include "uninstaller/UninstallApp.h"

#include <commctrl.h>
#include <shlobj.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "product/Product.h"

namespace {

using namespace product;

constexpr wchar_t kCaption[] = L"提示";
constexpr wchar_t kMore[] = L"等项目";

constexpr DWORD kLinkOrFolder = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

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

int Message(const std::string& text, UINT type) {
  return MessageBoxA(nullptr, text.c_str(), Ansi(kCaption).c_str(), type);
}

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (valid())
      CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_;
};

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

// Relative manifest values the uninstaller acts on: no drive or stream, not absolute, no
// ".." component.
bool IsSafeManifestPath(const std::string& value) {
  if (value.empty() || value[0] == '\\' || value[0] == '/')
    return false;
  if (value.find(':') != std::string::npos)
    return false;
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

bool Missing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Where an open file or folder really is, every link on the way resolved.
std::wstring FinalPath(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n =
        GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
    if (n == 0)
      return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(n + 1);
  }
}

bool DeleteThrough(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                    sizeof disposition) != FALSE;
}

// What one removal left behind: the first path, and how many.
struct Leftovers {
  std::string first;
  unsigned count = 0;
  void Add(const std::string& path) {
    if (count++ == 0)
      first = path;
  }
};

enum class Removal { kGone, kAbsent, kKept, kFailed };

// The install folder, held open for the whole removal (without delete sharing, so it cannot
// be renamed or replaced meanwhile), and where it really is.
class InstallFolder {
 public:
  explicit InstallFolder(const std::string& folder)
      : handle_(CreateFileA(folder.c_str(),
                            FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr,
                            OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS,
                            nullptr)) {
    if (handle_.valid())
      final_ = FinalPath(handle_.get());
    if (!final_.empty() && final_.back() != L'\\')
      final_ += L'\\';
  }

  // True when the open `entry` lies below the folder, links resolved.
  bool Contains(HANDLE entry) const {
    if (final_.empty())
      return false;
    const std::wstring path = FinalPath(entry);
    return path.size() > final_.size() &&
           CompareStringOrdinal(path.c_str(), static_cast<int>(final_.size()), final_.c_str(),
                                static_cast<int>(final_.size()), TRUE) == CSTR_EQUAL;
  }

  // Deletes the file `path` (below the folder) through a handle that was opened without
  // following a link and proved to lie inside the folder.
  Removal RemoveFile(const std::string& path) const {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
      return Missing(GetLastError()) ? Removal::kAbsent : Removal::kFailed;
    if (attributes & kLinkOrFolder)
      return Removal::kFailed;  // a link, or a folder where a file was
    const Handle file(CreateFileA(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid())
      return Missing(GetLastError()) ? Removal::kAbsent : Removal::kFailed;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.get(), &info) || (info.dwFileAttributes & kLinkOrFolder) ||
        !Contains(file.get())) {
      return Removal::kFailed;
    }
    return DeleteThrough(file.get()) ? Removal::kGone : Removal::kFailed;
  }

  // Removes the folder `path` (below the folder) when nothing but "Thumbs.db" files (any
  // letter case) is left in it, deleting those; a sub-folder or any other file keeps it.
  Removal RemoveFolderIfEmpty(const std::string& path) const {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
      return Removal::kAbsent;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
      return Removal::kFailed;
    const Handle folder(CreateFileA(
        path.c_str(), DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!folder.valid() || !GetFileInformationByHandle(folder.get(), &info) ||
        (info.dwFileAttributes & kLinkOrFolder) != FILE_ATTRIBUTE_DIRECTORY ||
        !Contains(folder.get())) {
      return Removal::kFailed;
    }
    // The entries, read through the folder's own handle.
    alignas(8) char buffer[16384];
    bool restart = true;
    for (;;) {
      if (!GetFileInformationByHandleEx(
              folder.get(), restart ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo,
              buffer, sizeof buffer)) {
        if (GetLastError() != ERROR_NO_MORE_FILES)
          return Removal::kFailed;
        break;
      }
      restart = false;
      for (const char* at = buffer;;) {
        const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
        const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
        if (name != L"." && name != L"..") {
          if ((entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
              CompareStringOrdinal(name.c_str(), -1, L"Thumbs.db", -1, TRUE) != CSTR_EQUAL) {
            return Removal::kKept;
          }
          if (RemoveFile(path + "\\" + Ansi(name.c_str())) == Removal::kFailed)
            return Removal::kFailed;
        }
        if (entry->NextEntryOffset == 0)
          break;
        at += entry->NextEntryOffset;
      }
    }
    if (DeleteThrough(folder.get()))
      return Removal::kGone;
    return GetLastError() == ERROR_DIR_NOT_EMPTY ? Removal::kKept : Removal::kFailed;
  }

 private:
  Handle handle_;
  std::wstring final_;
};

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

void DeleteShortcut(int csidl, const wchar_t* name, Leftovers* leftovers) {
  const std::string folder = SpecialFolder(csidl);
  if (folder.empty())
    return;
  const std::string path = folder + "\\" + Ansi(name);
  if (!DeleteFileA(path.c_str()) && !Missing(GetLastError()))
    leftovers->Add(path);
}

using RegDeleteKeyExAFunction = LONG(WINAPI*)(HKEY, LPCSTR, REGSAM, DWORD);

void DeleteUninstallEntry(Leftovers* leftovers) {
  static const auto deleteKeyEx = reinterpret_cast<RegDeleteKeyExAFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("Advapi32.dll"), "RegDeleteKeyExA")));
  const std::string entry = Ansi(kDisplayName);
  const std::string parent = Ansi(kUninstallKeyParent);
  const std::string entryPath = "HKEY_LOCAL_MACHINE\\" + parent + "\\" + entry;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, parent.c_str(), 0, KEY_READ | KEY_WRITE, &key) !=
      ERROR_SUCCESS) {
    // Without the right to change the list of programs, an entry there stays.
    HKEY found = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (parent + "\\" + entry).c_str(), 0, KEY_READ, &found) ==
        ERROR_SUCCESS) {
      RegCloseKey(found);
      leftovers->Add(entryPath);
    }
    return;
  }
  const LONG result = deleteKeyEx != nullptr ? deleteKeyEx(key, entry.c_str(), 0, 0)
                                             : RegDeleteKeyA(key, entry.c_str());
  if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
    leftovers->Add(entryPath);
  RegCloseKey(key);
}

// The running program cannot delete its own file: a temporary copy, deleted by the system
// when its last handle goes, waits for this process to end and then deletes it. False when
// that cannot be arranged (a temporary folder whose path is too long, say).
bool ScheduleSelfDelete() {
  const std::string self = ModulePath();
  char temporaryFolder[MAX_PATH] = {};
  char copy[MAX_PATH] = {};
  const DWORD length = GetTempPathA(MAX_PATH, temporaryFolder);
  if (self.empty() || length == 0 || length >= MAX_PATH ||
      GetTempFileNameA(temporaryFolder, "Del", 0, copy) == 0) {
    return false;
  }
  if (!CopyFileA(self.c_str(), copy, FALSE)) {
    DeleteFileA(copy);
    return false;
  }
  const Handle copyHandle(CreateFileA(copy, 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  const Handle process(OpenProcess(SYNCHRONIZE, TRUE, GetCurrentProcessId()));
  if (!copyHandle.valid() || !process.valid()) {
    DeleteFileA(copy);
    return false;
  }
  std::string command =
      CleanUpCommandLine(copy, reinterpret_cast<std::uintptr_t>(process.get()), self);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION started{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, temporaryFolder,
                      &startup, &started)) {
    return false;  // the copy goes with its handle
  }
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return true;
}

int Remove(bool silent) {
  Leftovers leftovers;
  const std::string self = ModulePath();
  const std::string folder = FolderOf(self);
  if (folder.empty())
    return kExitIncomplete;
  const std::string manifest = folder + Ansi(kManifestFile);
  {
    const InstallFolder installed(folder);
    for (unsigned n = 0;; ++n) {
      const std::string value = ReadValue(manifest, "InstallFileInfo", "FILE" + std::to_string(n));
      if (value.empty())
        break;
      if (!IsSafeManifestPath(value) || installed.RemoveFile(folder + value) == Removal::kFailed)
        leftovers.Add(folder + value);
    }
    for (unsigned n = 0;; ++n) {
      const std::string value =
          ReadValue(manifest, "InstallDirectoryInfo", "DIRECTORY" + std::to_string(n));
      if (value.empty())
        break;
      if (!IsSafeManifestPath(value) ||
          installed.RemoveFolderIfEmpty(folder + value) == Removal::kFailed) {
        leftovers.Add(folder + value);
      }
    }
    if (installed.RemoveFile(manifest) == Removal::kFailed)
      leftovers.Add(manifest);
  }

  DeleteShortcut(CSIDL_STARTUP, kClientShortcut, &leftovers);
  DeleteShortcut(CSIDL_COMMON_DESKTOPDIRECTORY, kClientShortcut, &leftovers);
  DeleteShortcut(CSIDL_COMMON_PROGRAMS, kMenuClientShortcut, &leftovers);
  DeleteShortcut(CSIDL_COMMON_PROGRAMS, kMenuUninstallShortcut, &leftovers);
  const std::string programs = SpecialFolder(CSIDL_COMMON_PROGRAMS);
  if (!programs.empty()) {
    const std::string menu = programs + "\\" + Ansi(kFolderName);
    if (!RemoveDirectoryA(menu.c_str()) && !Missing(GetLastError()) &&
        GetLastError() != ERROR_DIR_NOT_EMPTY) {
      leftovers.Add(menu);
    }
  }
  DeleteUninstallEntry(&leftovers);
  if (!ScheduleSelfDelete())
    leftovers.Add(self);

  if (!silent) {
    if (leftovers.count == 0) {
      Message(Ansi(kRemoved), MB_OK);
    } else {
      Message(Ansi(kNotAllRemoved) + "\r\n" + leftovers.first +
                  (leftovers.count > 1 ? "\r\n" + Ansi(kMore) : std::string()),
              MB_OK | MB_ICONWARNING);
    }
  }
  return leftovers.count == 0 ? kExitRemoved : kExitIncomplete;
}

// The clean-up helper: `handle` is the first uninstaller's process, inherited. It deletes
// `uninstaller` only if it is still the file this copy was made from - the same size and
// time of last writing (a copy keeps both) - and no link: a new installation may already
// have written its own uninstall.exe there.
void CleanUp(const char* handle, const std::string& uninstaller) {
  const auto process = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::atoll(handle)));
  WaitForSingleObject(process, INFINITE);
  Sleep(1000);
  WIN32_FILE_ATTRIBUTE_DATA copy{};
  if (!GetFileAttributesExA(ModulePath().c_str(), GetFileExInfoStandard, &copy))
    return;
  {
    const Handle file(CreateFileA(uninstaller.c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (file.valid() && GetFileInformationByHandle(file.get(), &info) &&
        !(info.dwFileAttributes & kLinkOrFolder) && info.nFileSizeHigh == copy.nFileSizeHigh &&
        info.nFileSizeLow == copy.nFileSizeLow &&
        CompareFileTime(&info.ftLastWriteTime, &copy.ftLastWriteTime) == 0) {
      DeleteThrough(file.get());
    }
  }  // the file goes when its handle closes, before its folder can
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

std::string CleanUpCommandLine(const std::string& copy,
                               std::uintptr_t process,
                               const std::string& uninstaller) {
  return "\"" + copy + "\" " + std::to_string(process) + " \"" + uninstaller + "\"";
}

BOOL CUninstallApp::InitInstance() {
  InitControls();
  const int argc = __argc;
  char** const argv = __argv;
  const bool silent = argc == 2 && std::strcmp(argv[1], "-silent") == 0;  // byte for byte
  if (FindWindowA(Ansi(kClientWindowClass).c_str(), nullptr) != nullptr) {
    if (!silent)
      Message(Ansi(kClientRunning), MB_OK);
    m_exitCode = kExitClientRunning;
    return FALSE;
  }
  if (argc == 1) {
    m_exitCode = Message(Ansi(kConfirmRemoval), MB_YESNO) == IDYES ? Remove(false) : kExitCancelled;
  } else if (silent) {
    m_exitCode = Remove(true);
  } else if (argc == 3) {
    CleanUp(argv[1], argv[2]);
  } else {
    m_exitCode = kExitUsage;
  }
  return FALSE;
}
