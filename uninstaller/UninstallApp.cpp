#include "uninstaller/UninstallApp.h"

#include <commctrl.h>
#include <shlobj.h>

#include <cstring>
#include <vector>

#include "core/install/ManifestText.h"
#include "core/package/PayloadPackage.h"
#include "core/product/Product.h"
#include "uninstaller/SelfRemoval.h"
#include "win/install/AdminObjects.h"
#include "win/install/Registration.h"
#include "win/install/Removal.h"

namespace {

using namespace product;

constexpr wchar_t kCaption[] = L"提示";
constexpr wchar_t kMore[] = L"等项目";

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

bool Missing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
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

// One section of the manifest, read whole: "KEY=VALUE" strings, each ended by a NUL.
std::string ReadSection(const std::string& manifest, const char* section) {
  std::string buffer(65536, '\0');
  for (;;) {
    const DWORD n = GetPrivateProfileSectionA(section, buffer.data(),
                                              static_cast<DWORD>(buffer.size()), manifest.c_str());
    // A buffer too small gives its size less two; up to 1 GiB, the section is read whole.
    if (n + 2 < buffer.size() || buffer.size() >= (std::size_t{1} << 30)) {
      buffer.resize(n);
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

// A manifest value in UTF-16, as the system's ANSI code page spells it; empty when it is
// no text in that code page.
std::u16string Wide(const std::string& value) {
  const int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, value.data(),
                                    static_cast<int>(value.size()), nullptr, 0);
  if (n <= 0)
    return {};
  std::u16string wide(static_cast<std::size_t>(n), u'\0');
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, value.data(), static_cast<int>(value.size()),
                      reinterpret_cast<wchar_t*>(wide.data()), n);
  return wide;
}

// The values of one list, in UTF-16; a value that is no text in the code page is left
// behind as it stands.
std::vector<std::u16string> ReadList(const std::string& section,
                                     const char* prefix,
                                     const std::string& folder,
                                     Leftovers* leftovers) {
  std::vector<std::u16string> list;
  for (const std::string& value : NumberedValues(section, prefix)) {
    std::u16string wide = Wide(value);
    if (wide.empty())
      leftovers->Add(folder + value);
    else
      list.push_back(std::move(wide));
  }
  return list;
}

std::wstring AsWide(const std::u16string& s) {
  return std::wstring(s.begin(), s.end());
}

std::string Ansi(const std::wstring& text) {
  return Ansi(text.c_str());
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

// Whether the single-byte calls see the program's own path `wide` as it is. A folder name
// the system's ANSI code page cannot spell comes back with '?' or a look-alike letter in
// it, and the manifest beside the program is not found under that path.
bool SpelledInCodePage(const std::wstring& wide, const std::string& ansi) {
  return AsWide(Wide(ansi)) == wide;
}

int Remove(bool silent) {
  const std::wstring wideSelf = ProgramPath();
  const std::wstring wideFolder = wideSelf.substr(0, wideSelf.find_last_of(L'\\') + 1);
  const std::string self = ModulePath();
  const std::string folder = FolderOf(self);
  if (wideFolder.empty() || folder.empty())
    return kExitIncomplete;
  // Without its manifest a removal would take the shortcuts and the entry and leave every
  // file, the component registered, and no way to remove them: it removes nothing instead.
  if (!SpelledInCodePage(wideSelf, self)) {
    if (!silent) {
      const std::wstring text = std::wstring(kFolderNotInCodePage) + L"\r\n" +
                                wideFolder.substr(0, wideFolder.size() - 1);
      MessageBoxW(nullptr, text.c_str(), kCaption, MB_OK | MB_ICONWARNING);
    }
    return kExitFolderNotInCodePage;
  }
  Leftovers leftovers;
  const std::string manifest = folder + Ansi(kManifestFile);
  {
    const RemovalFolder installed(wideFolder);
    const std::size_t room =
        wideFolder.size() < kMaxFullPathUnits ? kMaxFullPathUnits - wideFolder.size() : 0;
    const std::string fileSection = ReadSection(manifest, "InstallFileInfo");
    const std::vector<std::u16string> files = ReadList(fileSection, "FILE", folder, &leftovers);
    const std::vector<std::u16string> kept = ReadList(fileSection, "KEPT", folder, &leftovers);
    const std::vector<std::u16string> folders =
        ReadList(ReadSection(manifest, "InstallDirectoryInfo"), "DIRECTORY", folder, &leftovers);
    // A manifest without its folder list is one whose installation never ended: its folders
    // are those of its files.
    const RemovalPlan plan = PlanRemoval(files, folders, kept, room);
    for (const std::u16string& refused : plan.refused)
      leftovers.Add(folder + Ansi(AsWide(refused)));
    // The component is unregistered while its file is there to be asked, so that no class
    // is left registered to a deleted file.
    for (const std::u16string& file : plan.files) {
      if (CompareStringOrdinal(AsWide(file).c_str(), -1, kComponentFile, -1, TRUE) == CSTR_EQUAL) {
        RegisterComponent(wideFolder.c_str(), kRegistrationTimeLimitMs, Registration::kUnregister);
        break;
      }
    }
    for (const std::u16string& file : plan.files) {
      const std::wstring path = wideFolder + AsWide(file);
      if (installed.RemoveFile(path) == Removal::kFailed)
        leftovers.Add(Ansi(path));
    }
    // What was in the folder before the installation goes back to its place.
    for (const KeptFile& file : plan.kept) {
      const std::wstring keptPath = wideFolder + AsWide(file.kept);
      if (installed.Restore(keptPath, wideFolder + AsWide(file.path)) == Removal::kFailed)
        leftovers.Add(Ansi(keptPath));
    }
    for (const std::u16string& sub : plan.folders) {
      const std::wstring path = wideFolder + AsWide(sub);
      if (installed.RemoveFolderIfEmpty(path) == Removal::kFailed)
        leftovers.Add(Ansi(path));
    }
    if (installed.RemoveFolderIfEmpty(wideFolder + kKeptFolder) == Removal::kFailed)
      leftovers.Add(Ansi(wideFolder + kKeptFolder));
    if (installed.RemoveFile(wideFolder + kManifestFile) == Removal::kFailed)
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
  if (!ScheduleSelfDelete(wideSelf))
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

// An installer runs (it holds its mutex, which Administrators own) and did not grant this
// uninstaller its run: removing files under a running installation would leave it with an
// uninstall entry pointing at nothing.
bool InstallerRunning() {
  if (GrantedByInstaller())
    return false;
  const Handle mutex(OpenMutexW(SYNCHRONIZE | READ_CONTROL, FALSE, kMutexName));
  return mutex.valid() && OwnedByAdministrators(mutex.get());
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

BOOL CUninstallApp::InitInstance() {
  const int argc = __argc;
  char** const argv = __argv;
  const bool silent = argc == 2 && std::strcmp(argv[1], "-silent") == 0;  // byte for byte
  if (!m_dllsConfined) {
    if (!silent)
      Message(Ansi(kSystemUnsupported), MB_OK);
    m_exitCode = kExitSystemUnsupported;
    return FALSE;
  }
  InitControls();
  if (FindWindowA(Ansi(kClientWindowClass).c_str(), nullptr) != nullptr) {
    if (!silent)
      Message(Ansi(kClientRunning), MB_OK);
    m_exitCode = kExitClientRunning;
    return FALSE;
  }
  if ((argc == 1 || silent) && InstallerRunning()) {
    if (!silent)
      Message(Ansi(kInstallerRunning), MB_OK);
    m_exitCode = kExitInstallerRunning;
    return FALSE;
  }
  if (argc == 1) {
    m_exitCode = Message(Ansi(kConfirmRemoval), MB_YESNO) == IDYES ? Remove(false) : kExitCancelled;
  } else if (silent) {
    m_exitCode = Remove(true);
  } else if (argc == 3) {
    CleanUp(GetCommandLineW());
  } else {
    m_exitCode = kExitUsage;
  }
  return FALSE;
}
