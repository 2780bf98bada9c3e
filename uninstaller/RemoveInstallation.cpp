#include "uninstaller/RemoveInstallation.h"

#include <shlobj.h>

#include <algorithm>
#include <vector>

#include "core/install/ManifestText.h"
#include "core/package/PayloadPackage.h"
#include "core/product/Product.h"
#include "core/text/NumberText.h"
#include "uninstaller/ExitCodes.h"
#include "uninstaller/SelfRemoval.h"
#include "win/base/Files.h"
#include "win/base/Owners.h"
#include "win/base/Paths.h"
#include "win/base/Text.h"
#include "win/install/AdminObjects.h"
#include "win/install/ManifestFile.h"
#include "win/install/Registration.h"
#include "win/install/Removal.h"
#include "win/install/SetupLog.h"
#include "win/install/Shortcuts.h"

namespace {

using namespace product;

constexpr wchar_t kCaption[] = L"提示";
constexpr wchar_t kMore[] = L"等项目";

// What one removal left behind: the first path, and how many; each is logged.
struct Leftovers {
  explicit Leftovers(SetupLog& to) : log(to) {}
  SetupLog& log;
  std::string first;
  unsigned count = 0;
  void Add(const std::string& path) {
    log.Line(L"could not remove " + FromCodePage(path, CP_ACP, 0));
    if (count++ == 0)
      first = path;
  }
};

// A file a program loaded cannot be deleted while it runs, but may be renamed: it moves to
// a free name beside it, "<name>.<process id>.del", which the next restart deletes, and a
// new installation may write its own file of that name meanwhile. False when it cannot (a
// file held open without delete sharing cannot be renamed either).
bool DeleteAtRestart(const RemovalFolder& installed, const std::wstring& path, SetupLog& log) {
  const std::wstring aside = installed.RemoveAtRestart(path, path);
  if (!aside.empty())
    log.Line(L"in use, deleted at the next restart: " + path + L" (as " + aside + L")");
  return !aside.empty();
}

void DeleteShortcutOrNote(int csidl, const wchar_t* name, Leftovers* leftovers) {
  if (DeleteShortcut(csidl, name) == Removal::kFailed)
    leftovers->Add(ToCodePage(ShortcutPath(csidl, name)));
}

// The installation's shortcuts, and its folder of the programs menu when that is empty.
void DeleteShortcuts(Leftovers* leftovers) {
  DeleteShortcutOrNote(CSIDL_STARTUP, kClientShortcut, leftovers);
  DeleteShortcutOrNote(CSIDL_COMMON_STARTUP, kClientShortcut, leftovers);
  DeleteShortcutOrNote(CSIDL_COMMON_DESKTOPDIRECTORY, kClientShortcut, leftovers);
  DeleteShortcutOrNote(CSIDL_COMMON_PROGRAMS, kMenuClientShortcut, leftovers);
  DeleteShortcutOrNote(CSIDL_COMMON_PROGRAMS, kMenuUninstallShortcut, leftovers);
  const std::wstring menu = ShortcutPath(CSIDL_COMMON_PROGRAMS, kFolderName);
  if (!menu.empty() && !RemoveDirectoryW(menu.c_str()) && !Missing(GetLastError()) &&
      GetLastError() != ERROR_DIR_NOT_EMPTY) {
    leftovers->Add(ToCodePage(menu));
  }
  leftovers->log.Line(L"went through the shortcuts");
}

using RegDeleteKeyExAFunction = LONG(WINAPI*)(HKEY, LPCSTR, REGSAM, DWORD);

void DeleteUninstallEntry(Leftovers* leftovers) {
  static const auto deleteKeyEx = reinterpret_cast<RegDeleteKeyExAFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("Advapi32.dll"), "RegDeleteKeyExA")));
  const std::string entry = ToCodePage(kDisplayName);
  const std::string parent = ToCodePage(kUninstallKeyParent);
  const std::string entryPath = "HKEY_LOCAL_MACHINE\\" + parent + "\\" + entry;
  RegKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, parent.c_str(), 0, KEY_READ | KEY_WRITE, key.put()) !=
      ERROR_SUCCESS) {
    // Without the right to change the list of programs, an entry there stays.
    RegKey found;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (parent + "\\" + entry).c_str(), 0, KEY_READ,
                      found.put()) == ERROR_SUCCESS) {
      leftovers->Add(entryPath);
    }
    return;
  }
  const LONG result = deleteKeyEx != nullptr ? deleteKeyEx(key.get(), entry.c_str(), 0, 0)
                                             : RegDeleteKeyA(key.get(), entry.c_str());
  if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
    leftovers->Add(entryPath);
}

// The manifest of a removal that could not finish, in the system's ANSI code page, as the
// installer writes it: the file lines of `files` numbered anew from 0; every KEPT line with
// its number, which names its file's place; the folder list `folders`. Empty when the text
// cannot be converted.
std::string ManifestOfWhatStays(const std::vector<std::u16string>& files,
                                const std::vector<std::u16string>& kept,
                                const std::vector<std::u16string>& folders) {
  std::u16string text(kManifestFileHeader);
  for (std::size_t n = 0; n < files.size(); ++n)
    text += ManifestFileLine(n, files[n]);
  for (std::size_t n = 0; n < kept.size(); ++n)
    text += ManifestKeptLine(n, kept[n]);
  text += kManifestFolderHeader;
  for (std::size_t n = 0; n < folders.size(); ++n)
    text += ManifestFolderLine(n, folders[n]);
  return ToCodePage(Wide(text));
}

// The text value `name` of the uninstall entry; empty when it has none.
std::wstring EntryText(const wchar_t* name) {
  wchar_t value[kMaxFullPathUnits + 1] = {};
  DWORD bytes = sizeof value - sizeof(wchar_t);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kUninstallKeyPath, name, RRF_RT_REG_SZ, nullptr, value,
                   &bytes) != ERROR_SUCCESS) {
    return {};
  }
  return value;
}

// The outermost folder the installation made, as its entry records it, when it is the
// install folder `folder` (ending with '\') or lies above it; else empty.
std::wstring MadeFolder(const std::wstring& folder) {
  std::wstring made = EntryText(kCreatedFolderValue);
  while (!made.empty() && made.back() == L'\\')
    made.pop_back();
  return PathWithin(folder, made) ? made : std::wstring();
}

// Whether the uninstall entry - with the shortcuts and the folders it records - is the
// installation's in the folder `installed` holds: the folder its InstallLocation names is
// that very folder. A copy of the folder, or of uninstall.exe, elsewhere finds an entry
// naming another, and leaves it; the log says why.
bool EntryIsOwn(const RemovalFolder& installed, SetupLog& log) {
  const std::wstring location = EntryText(L"InstallLocation");
  if (location.empty()) {
    log.Line(
        L"the uninstall entry names no folder: it, the shortcuts and the folders the "
        L"installation made are left as they are");
    return false;
  }
  if (!installed.IsFolder(location)) {
    log.Line(L"the uninstall entry is the installation's in " + location +
             L", not this folder's: it, the shortcuts and the folders the installation made "
             L"are left as they are");
    return false;
  }
  return true;
}

// Whether this elevated program may have the component in the folder unregister itself,
// which loads it: the folder (held) and the file are changed by administrators alone.
bool MayLoadComponent(const RemovalFolder& installed, const std::wstring& file) {
  const UniqueHandle component(CreateFileW(file.c_str(), READ_CONTROL, kShareAll, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return installed.OnlyAdministratorsMayChange() && component.valid() &&
         OnlyAdministratorsMayChange(component.get());
}

}  // namespace

int RemoveInstallation(bool silent, SetupLog& log) {
  const std::wstring wideSelf = ModulePath();
  const std::wstring wideFolder = ModuleFolder();
  if (wideFolder.empty())
    return kExitIncomplete;
  // The manifest is read by the single-byte calls, in the system's ANSI code page: in a
  // folder whose name that code page cannot spell, its path comes out with '?' or a
  // look-alike letter in it and the manifest is not found. Without its manifest a removal
  // would take the shortcuts and the entry and leave every file, the component registered,
  // and no way to remove them: it removes nothing instead.
  if (!SpelledInCodePage(wideSelf)) {
    if (!silent) {
      const std::wstring text = std::wstring(kFolderNotInCodePage) + L"\r\n" +
                                wideFolder.substr(0, wideFolder.size() - 1);
      MessageBoxW(nullptr, text.c_str(), kCaption, MB_OK | MB_ICONWARNING);
    }
    return kExitFolderNotInCodePage;
  }
  log.Line(L"removing the installation in " + wideFolder);
  Leftovers leftovers(log);
  // Files in use that go at the next restart.
  bool restart = false;
  // Whether something of the installation stays in its folder: then the manifest names what
  // stays, and the entry and uninstall.exe stay too, so that running it again finishes.
  bool stays = false;
  // Whether the uninstall entry, the shortcuts and the folders made are this installation's.
  bool ownEntry = false;
  const std::string folder = ToCodePage(wideFolder);
  const std::string manifest = folder + ToCodePage(kManifestFile);
  {
    const RemovalFolder installed(wideFolder);
    const std::size_t room =
        wideFolder.size() < kMaxFullPathUnits ? kMaxFullPathUnits - wideFolder.size() : 0;
    // A value that is no text in the code page is left behind as it stands.
    const ManifestLists lists = ReadManifest(manifest);
    for (const std::string& value : lists.unreadable)
      leftovers.Add(folder + value);
    const std::vector<std::u16string>& kept = lists.kept;
    // A manifest without its folder list is one whose installation never ended: its folders
    // are those of its files.
    const RemovalPlan plan = PlanRemoval(lists.files, lists.folders, kept, room);
    for (const std::u16string& refused : plan.refused)
      leftovers.Add(folder + ToCodePage(Wide(refused)));
    ownEntry = EntryIsOwn(installed, log);
    // The component is unregistered while its file is there to be asked - only when its
    // classes are served from this folder's file, which a copy's are not (its unregistration
    // would take the real installation's), and when nobody but an administrator can have
    // put the file there. Then no class may be left registered to a file of the folder -
    // the installation's registration, even when its file is gone, which anyone who could
    // make the file again would take over.
    std::vector<RegisteredClass> classes = ClassesServedFrom(wideFolder);
    const std::wstring component = wideFolder + kComponentFile;
    if (std::any_of(plan.files.begin(), plan.files.end(), IsComponentPath) &&
        GetFileAttributesW(component.c_str()) != INVALID_FILE_ATTRIBUTES) {
      if (classes.empty()) {
        log.Line(L"no class is served from this folder's component: it is not unregistered");
      } else if (!MayLoadComponent(installed, component)) {
        log.Line(
            L"someone other than an administrator may have changed the component or its "
            L"folder: it is not loaded to unregister it");
      } else {
        const RegistrationResult result = RegisterComponent(
            wideFolder.c_str(), kRegistrationTimeLimitMs, Registration::kUnregister);
        log.Line(result == RegistrationResult::kRegistered ? L"unregistered the component"
                                                           : L"could not unregister the component");
        classes = ClassesServedFrom(wideFolder);
      }
    }
    for (const RegisteredClass& registered : classes)
      log.Line(L"the class " + registered.id + L" is still served from the folder: deleting it");
    if (!classes.empty() && !RemoveClassesServedFrom(wideFolder)) {
      for (const RegisteredClass& registered : ClassesServedFrom(wideFolder)) {
        leftovers.Add(
            ToCodePage(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\" + registered.id));
      }
      stays = true;
    }
    std::vector<std::u16string> filesLeft;
    for (const std::u16string& file : plan.files) {
      const std::wstring path = wideFolder + Wide(file);
      if (installed.RemoveFile(path) != Removal::kFailed)
        continue;
      if (DeleteAtRestart(installed, path, log)) {
        restart = true;
      } else {
        leftovers.Add(ToCodePage(path));
        filesLeft.push_back(file);
      }
    }
    log.Line(L"removed the files: " + DecimalText<wchar_t>(plan.files.size() - filesLeft.size()) +
             L" of " + DecimalText<wchar_t>(plan.files.size()));
    stays = stays || !filesLeft.empty();
    // What was in the folder before the installation goes back to its place.
    for (const KeptFile& file : plan.kept) {
      const std::wstring keptPath = wideFolder + Wide(file.kept);
      if (installed.Restore(keptPath, wideFolder + Wide(file.path)) == Removal::kFailed) {
        leftovers.Add(ToCodePage(keptPath));
        stays = true;
      }
    }
    std::vector<std::u16string> foldersLeft;
    for (const std::u16string& sub : plan.folders) {
      const std::wstring path = wideFolder + Wide(sub);
      const Removal removal = installed.RemoveFolderIfEmpty(path);
      if (removal == Removal::kFailed) {
        leftovers.Add(ToCodePage(path));
        stays = true;
      }
      if (removal == Removal::kFailed || removal == Removal::kKept)
        foldersLeft.push_back(sub);
      // Once empty, it goes after the files in it.
      if (removal == Removal::kKept && restart)
        MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    if (installed.RemoveFolderIfEmpty(wideFolder + kKeptFolder) == Removal::kFailed) {
      leftovers.Add(ToCodePage(wideFolder + kKeptFolder));
      stays = true;
    }
    // What an upgrade that never ended (its installer was ended) set aside of the earlier
    // installation goes with this one; what an upgrade left to the next restart goes then,
    // with the folder.
    const std::wstring asideFolder = wideFolder + kAsideFolder;
    const Removal aside = installed.RemoveFolderAndFiles(asideFolder);
    if (aside == Removal::kFailed) {
      leftovers.Add(ToCodePage(asideFolder));
      stays = true;
    } else if (aside == Removal::kKept) {
      restart = MoveFileExW(asideFolder.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) || restart;
    }
    // A kept file already put back is absent on the next run, which is no failure: every
    // KEPT line stays as it was.
    if (stays) {
      const std::string text = ManifestOfWhatStays(filesLeft, kept, foldersLeft);
      if (text.empty() || !installed.Rewrite(wideFolder + kManifestFile, text))
        leftovers.Add(manifest);
    } else if (installed.RemoveFile(wideFolder + kManifestFile) == Removal::kFailed) {
      leftovers.Add(manifest);
    }
  }

  if (ownEntry)
    DeleteShortcuts(&leftovers);
  if (!stays) {
    const std::wstring madeFolder = ownEntry ? MadeFolder(wideFolder) : std::wstring();
    if (ownEntry) {
      const unsigned before = leftovers.count;
      DeleteUninstallEntry(&leftovers);
      if (leftovers.count == before)
        log.Line(L"removed the uninstall entry");
    }
    if (!ScheduleSelfDelete(wideSelf, madeFolder))
      leftovers.Add(ToCodePage(wideSelf));
    // The folders the installation made, from the install folder up, go after the files in
    // use that keep them.
    if (restart && !madeFolder.empty()) {
      std::wstring up = wideFolder.substr(0, wideFolder.size() - 1);
      while (up.size() >= madeFolder.size()) {
        MoveFileExW(up.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        const std::size_t cut = up.find_last_of(L'\\');
        if (cut == std::wstring::npos)
          break;
        up.resize(cut);
      }
    }
  }

  if (!silent) {
    if (leftovers.count == 0) {
      Message(ToCodePage(restart ? std::wstring(kRemoved) + L"\r\n" + kRestartToRemove : kRemoved),
              MB_OK);
    } else {
      Message(ToCodePage(kNotAllRemoved) + "\r\n" + leftovers.first +
                  (leftovers.count > 1 ? "\r\n" + ToCodePage(kMore) : std::string()),
              MB_OK | MB_ICONWARNING);
    }
  }
  if (leftovers.count != 0)
    return kExitIncomplete;
  return restart ? kExitRestartRequired : kExitRemoved;
}

int Message(const std::string& text, UINT type) {
  return MessageBoxA(nullptr, text.c_str(), ToCodePage(kCaption).c_str(), type);
}
