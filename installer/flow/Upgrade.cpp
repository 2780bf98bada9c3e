#include "installer/flow/Upgrade.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <optional>

// after windows.h
#include <shlobj.h>

#include "core/install/InstallFolder.h"
#include "core/install/ManifestText.h"
#include "core/package/Utf8.h"
#include "core/product/Product.h"
#include "core/setup/NumberText.h"
#include "installer/flow/Finishing.h"
#include "win/base/Files.h"
#include "win/base/Owners.h"
#include "win/base/Text.h"
#include "win/install/AdminObjects.h"
#include "win/install/CommandLine.h"
#include "win/install/FolderRights.h"
#include "win/install/ManifestFile.h"
#include "win/install/Registration.h"
#include "win/install/Removal.h"

namespace {

using product::kAsideFolder;
constexpr wchar_t kJournal[] = L"uninstall.old\\journal";
constexpr char kBegun[] = "*begun\r\n";  // no package path begins with '*'

std::wstring AsideFile(const std::wstring& folder, std::size_t n) {
  return folder + kAsideFolder + L"\\" + DecimalText<wchar_t>(n);
}

bool IsComponent(const std::u16string& path) {
  return CompareStringOrdinal(Wide(path).c_str(), -1, product::kComponentFile, -1, TRUE) ==
         CSTR_EQUAL;
}

// The string value `name` of `key`, or empty.
std::wstring StringValue(HKEY key, const wchar_t* name) {
  DWORD type = 0, bytes = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ) || bytes % 2 != 0 || bytes > 65536) {
    return {};
  }
  std::wstring value(bytes / 2 + 1, L'\0');
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &bytes) !=
      ERROR_SUCCESS) {
    return {};
  }
  value.resize(std::wcslen(value.c_str()));
  return value;
}

// The earlier installation's folder (its InstallLocation, ending with '\') when it is a
// folder that is there and that the folder rules would take: "X:\..." without '%', spelled
// in the code page. Empty otherwise; PrepareInstallFolder checks the rest when it is used.
std::wstring EarlierFolder(HKEY entry) {
  std::wstring folder = StringValue(entry, L"InstallLocation");
  while (!folder.empty() && folder.back() == L'\\')
    folder.pop_back();
  const bool drive =
      folder.size() >= 3 && std::iswalpha(folder[0]) && folder[1] == L':' && folder[2] == L'\\';
  const DWORD attributes = drive ? GetFileAttributesW(folder.c_str()) : INVALID_FILE_ATTRIBUTES;
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & kLinkOrFolder) != FILE_ATTRIBUTE_DIRECTORY ||
      CheckInstallFolder(Utf16(folder + L"\\"), 0) != FolderVerdict::kOk ||
      !SpelledInCodePage(folder)) {
    return {};
  }
  return folder + L"\\";
}

// The journal's bytes, read without following a link; none when it is not a plain file or
// cannot be read.
std::optional<std::string> ReadJournal(const std::wstring& path) {
  const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file.valid() || !GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & kLinkOrFolder) || info.nFileSizeHigh != 0 ||
      info.nFileSizeLow > (DWORD{64} << 20)) {
    return std::nullopt;
  }
  std::string bytes(info.nFileSizeLow, '\0');
  DWORD read = 0;
  if (!ReadFile(file.get(), bytes.data(), info.nFileSizeLow, &read, nullptr) ||
      read != info.nFileSizeLow) {
    return std::nullopt;
  }
  return bytes;
}

// Writes `bytes` to the end of the journal (made new when `create`) and flushes it to disk.
bool WriteJournal(const std::wstring& path, const std::string& bytes, bool create) {
  const UniqueHandle file(CreateFileW(
      path.c_str(), create ? GENERIC_WRITE : FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, 0,
      create ? const_cast<SECURITY_ATTRIBUTES*>(ProtectedRights::Get().File()) : nullptr,
      create ? CREATE_NEW : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  DWORD written = 0;
  return file.valid() && GetFileInformationByHandle(file.get(), &info) &&
         !(info.dwFileAttributes & kLinkOrFolder) && info.nNumberOfLinks == 1 &&
         SetFilePointer(file.get(), 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
         WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size() && FlushFileBuffers(file.get());
}

// The journal's list of moved files, one line each.
std::string JournalText(const std::vector<std::u16string>& moved) {
  std::string text;
  for (const std::u16string& path : moved)
    text += Utf16ToUtf8(path) + "\r\n";
  return text;
}

// Reads a journal's text: the moved files, and whether the new run began. False when a line
// is no UTF-8.
bool ParseJournal(const std::string& text, std::vector<std::u16string>* moved, bool* begun) {
  *begun = false;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos)
      end = text.size();  // a line cut short by a kill names no moved file yet
    const std::string line = text.substr(at, end - at);
    at = end + 2;
    if (line + "\r\n" == kBegun) {
      *begun = true;
    } else if (at <= text.size()) {
      std::u16string path;
      if (!Utf8ToUtf16(line, &path))
        return false;
      moved->push_back(std::move(path));
    }
  }
  return true;
}

// A file's size and last-write time, as FileStamps records them.
struct Stamp {
  std::uint64_t size = 0;
  std::uint64_t written = 0;
};

std::optional<Stamp> StampOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & kLinkOrFolder)) {
    return std::nullopt;
  }
  return Stamp{(std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow,
               (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                   data.ftLastWriteTime.dwLowDateTime};
}

// The files of `files` (the earlier manifest's list, in order) that are there and whose
// stamp is not the one the entry recorded. None without a record of every file. The
// component and the channel file are the installation's own: never the user's.
std::vector<std::u16string> ChangedFiles(const std::wstring& folder,
                                         const std::vector<std::u16string>& files) {
  std::vector<std::uint8_t> record(files.size() * sizeof(Stamp));
  DWORD bytes = static_cast<DWORD>(record.size());
  std::vector<std::u16string> changed;
  if (record.empty() ||
      RegGetValueW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath, product::kFileStampsValue,
                   RRF_RT_REG_BINARY, nullptr, record.data(), &bytes) != ERROR_SUCCESS ||
      bytes != record.size()) {
    return changed;
  }
  for (std::size_t n = 0; n < files.size(); ++n) {
    Stamp recorded;
    std::memcpy(&recorded, record.data() + n * sizeof(Stamp), sizeof(Stamp));
    const std::optional<Stamp> now = StampOf(folder + Wide(files[n]));
    if (now && (now->size != recorded.size || now->written != recorded.written) &&
        !IsComponent(files[n]) && files[n] != kChannelFilePath) {
      changed.push_back(files[n]);
    }
  }
  return changed;
}

// Reads the earlier manifest at `manifest` (a path) into `earlier`: its lists as a removal
// would take them. False when there is none.
bool ReadEarlierManifest(const std::wstring& manifest, EarlierInstallation* earlier) {
  const DWORD attributes = GetFileAttributesW(manifest.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & kLinkOrFolder))
    return false;
  const ManifestLists lists = ReadManifest(ToCodePage(manifest));
  const std::size_t room =
      earlier->folder.size() < kMaxFullPathUnits ? kMaxFullPathUnits - earlier->folder.size() : 0;
  const RemovalPlan plan = PlanRemoval(lists.files, lists.folders, lists.kept, room);
  earlier->changed = ChangedFiles(earlier->folder, lists.files);
  earlier->moved.clear();
  for (const std::u16string& file : plan.files) {
    if (std::find(earlier->changed.begin(), earlier->changed.end(), file) ==
        earlier->changed.end()) {
      earlier->moved.push_back(file);
    }
  }
  earlier->kept = lists.kept;
  earlier->folders = plan.folders;
  earlier->component = false;
  for (const std::u16string& file : plan.files)
    earlier->component = earlier->component || IsComponent(file);
  return true;
}

// Runs the earlier installation's uninstaller, as the installer did before it could set one
// aside; stops when it ran and did not remove everything.
Stop RunEarlierUninstaller(const EarlierInstallation& earlier, Interaction& interaction) {
  if (earlier.uninstallString.empty()) {
    interaction.Log().Line(L"the earlier installation has no UninstallString");
    return {};
  }
  // This installer holds its mutex: the uninstaller it starts must know that it may run.
  const InstallerGrant grant;
  if (!grant.valid())
    interaction.Log().Line(WithError(L"the earlier uninstaller gets no grant", GetLastError()));
  const std::optional<DWORD> code = RunAndWait(PreviousUninstallerCommand(earlier.uninstallString),
                                               nullptr, L"正在卸载旧版本…", interaction);
  // An uninstaller that ran and did not remove everything leaves its installation to be
  // finished later: installing over what it left would lose the way to remove it.
  if (code.has_value() && *code != 0) {
    interaction.Tell(product::kPreviousNotRemoved);
    return SetupExit::kPreviousNotRemoved;
  }
  return {};
}

// Whether an upgrade into `folder` did not end: something is set aside there.
bool Unfinished(const std::wstring& folder) {
  const DWORD attributes = GetFileAttributesW((folder + kAsideFolder).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & kLinkOrFolder) == FILE_ATTRIBUTE_DIRECTORY;
}

// Ends an upgrade into `folder` that did not end, from what its journal says.
void EndUnfinishedUpgrade(const std::wstring& folder, Interaction& interaction) {
  const std::wstring aside = folder + kAsideFolder;
  SetupLog& log = interaction.Log();
  const std::wstring journal = folder + kJournal;
  if (GetFileAttributesW(journal.c_str()) == INVALID_FILE_ATTRIBUTES) {
    // Committed: the new installation is complete and what was aside goes.
    const Removal removal = RemovalFolder(folder).RemoveFolderAndFiles(aside);
    log.Line(removal == Removal::kGone ? L"deleted what an upgrade that ended had set aside"
                                       : L"could not delete " + aside);
    return;
  }
  EarlierInstallation earlier;
  earlier.found = true;
  earlier.folder = folder;
  bool begun = false;
  const std::optional<std::string> text = ReadJournal(journal);
  if (!text || !ParseJournal(*text, &earlier.moved, &begun)) {
    log.Line(L"the journal of an upgrade that did not end cannot be read: " + journal);
    return;
  }
  log.Line(L"an upgrade into " + folder + L" did not end: putting the earlier installation back");
  earlier.aside = true;
  if (!begun) {
    PutEarlierBack(earlier, false, interaction);
    return;
  }
  // The new run's manifest names what it may have written; the KEPT lines it carried on from
  // the earlier manifest (set aside as one of the moved files) are the earlier installation's.
  std::size_t carried = 0;
  for (std::size_t n = 0; n < earlier.moved.size(); ++n) {
    EarlierInstallation before;
    before.folder = folder;
    if (earlier.moved[n] == kManifestName && ReadEarlierManifest(AsideFile(folder, n), &before)) {
      carried = before.kept.size();
      earlier.component = before.component;
      earlier.folders = before.folders;
      // The user's changed files are those of its list that were not set aside.
      before.moved.insert(before.moved.end(), before.changed.begin(), before.changed.end());
      for (const std::u16string& file : before.moved) {
        if (std::find(earlier.moved.begin(), earlier.moved.end(), file) == earlier.moved.end())
          earlier.changed.push_back(file);
      }
    }
  }
  const ManifestLists lists = ReadManifest(ToCodePage(folder + product::kManifestFile));
  const std::size_t room =
      folder.size() < kMaxFullPathUnits ? kMaxFullPathUnits - folder.size() : 0;
  const RemovalPlan plan = PlanRemoval(lists.files, lists.folders, lists.kept, room);
  // The files the user changed stayed where they were: the new manifest lists them last.
  WrittenByRun run;
  for (const std::u16string& file : plan.files) {
    if (std::find(earlier.changed.begin(), earlier.changed.end(), file) == earlier.changed.end())
      run.files.push_back(file);
  }
  // A kept file's place is "uninstall.kept\<n>": those below `carried` are the earlier's.
  for (const KeptFile& kept : plan.kept) {
    std::size_t number = 0;
    for (const char16_t c : kept.kept.substr(kKeptFolderName.size() + 1))
      number = number * 10 + static_cast<std::size_t>(c - u'0');
    if (number >= carried)
      run.kept.push_back(kept);
  }
  for (const std::u16string& file : plan.files)
    run.registered = run.registered || IsComponent(file);
  run.madeUninstaller = run.madeManifest = true;
  RemoveWritten(folder, run, &earlier, interaction);
}

struct Ending {
  const std::wstring& folder;
  Interaction& interaction;
};

DWORD WINAPI EndingThread(LPVOID context) {
  const auto* ending = static_cast<const Ending*>(context);
  EndUnfinishedUpgrade(ending->folder, ending->interaction);
  return 0;
}

}  // namespace

std::wstring EarlierInstallLocation() {
  RegKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath, 0, KEY_READ, key.put()) !=
      ERROR_SUCCESS) {
    return {};
  }
  return EarlierFolder(key.get());
}

Stop FindEarlierInstallation(Interaction& interaction, EarlierInstallation* earlier) {
  *earlier = EarlierInstallation{};
  RegKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath, 0, KEY_READ, key.put()) !=
      ERROR_SUCCESS) {
    interaction.Log().Line(L"no earlier installation");
    return {};
  }
  earlier->found = true;
  earlier->folder = EarlierFolder(key.get());
  earlier->uninstallString = StringValue(key.get(), L"UninstallString");
  earlier->createdFolder = StringValue(key.get(), product::kCreatedFolderValue);
  key.reset();
  if (!earlier->folder.empty())
    interaction.Log().Line(L"the earlier installation's folder " + earlier->folder);
  if (!earlier->folder.empty() && Unfinished(earlier->folder)) {
    // On a thread of its own, while the one who runs the installer is shown the wait.
    Ending ending{earlier->folder, interaction};
    const UniqueHandle thread(CreateThread(nullptr, 0, EndingThread, &ending, 0, nullptr));
    if (thread.valid())
      interaction.Wait(thread.get(), INFINITE, L"正在恢复旧版本…");
    else
      EndingThread(&ending);
  }
  if (!interaction.Ask(Question::kRemovePrevious, L"你已经安装过此程序，需卸载后继续"))
    return SetupExit::kCancelled;
  // One that cannot be set aside - no folder, or no manifest in it - is removed now.
  if (earlier->folder.empty() ||
      GetFileAttributesW((earlier->folder + product::kManifestFile).c_str()) ==
          INVALID_FILE_ATTRIBUTES) {
    earlier->found = false;
    return RunEarlierUninstaller(*earlier, interaction);
  }
  return {};
}

Stop SetEarlierAside(EarlierInstallation& earlier,
                     const std::wstring& target,
                     Interaction& interaction) {
  if (!earlier.found)
    return {};
  const std::wstring& folder = earlier.folder;
  SetupLog& log = interaction.Log();
  if (folder.empty() || !SamePath(folder, target) ||
      !ReadEarlierManifest(folder + product::kManifestFile, &earlier)) {
    return RunEarlierUninstaller(earlier, interaction);
  }
  for (const std::u16string& file : earlier.changed) {
    log.Line(folder + Wide(file) + L" was changed since it was installed: it stays, and the " +
             L"new version is written beside it as " + Wide(file) + L".new");
  }
  earlier.moved.emplace_back(kUninstallerName);
  earlier.moved.emplace_back(kManifestName);  // last: it tells the new run's from the earlier
  const std::wstring aside = folder + kAsideFolder;
  const std::wstring journal = folder + kJournal;
  if (!CreateDirectoryW(aside.c_str(),
                        const_cast<SECURITY_ATTRIBUTES*>(ProtectedRights::Get().Folder())) ||
      !WriteJournal(journal, JournalText(earlier.moved), true)) {
    log.Line(WithError(L"could not make " + journal, GetLastError()));
    RemovalFolder(folder).RemoveFolderAndFiles(aside);
    interaction.Tell(product::kPreviousNotRemoved);
    return SetupExit::kPreviousNotRemoved;
  }
  earlier.aside = true;
  {
    const RemovalFolder installed(folder);
    for (std::size_t n = 0; n < earlier.moved.size(); ++n) {
      const std::wstring path = folder + Wide(earlier.moved[n]);
      if (installed.Restore(path, AsideFile(folder, n)) == Removal::kFailed) {
        log.Line(WithError(L"could not set " + path + L" aside", GetLastError()));
        PutEarlierBack(earlier, false, interaction);
        interaction.Tell(product::kPreviousNotRemoved);
        return SetupExit::kPreviousNotRemoved;
      }
    }
  }
  if (!WriteJournal(journal, kBegun, false)) {
    log.Line(WithError(L"could not write " + journal, GetLastError()));
    PutEarlierBack(earlier, false, interaction);
    interaction.Tell(product::kPreviousNotRemoved);
    return SetupExit::kPreviousNotRemoved;
  }
  log.Line(L"set the earlier installation aside in " + aside + L" (" +
           DecimalText<wchar_t>(earlier.moved.size()) + L" files)");
  return {};
}

void PutEarlierBack(EarlierInstallation& earlier, bool reregister, Interaction& interaction) {
  if (!earlier.aside)
    return;
  SetupLog& log = interaction.Log();
  const std::wstring& folder = earlier.folder;
  const std::wstring journal = folder + kJournal;
  const RemovalFolder installed(folder);
  // The new run is gone: a kill from here on only moves the rest back.
  if (!installed.Rewrite(journal, JournalText(earlier.moved)))
    log.Line(WithError(L"could not write " + journal, GetLastError()));
  unsigned left = 0;
  for (std::size_t n = 0; n < earlier.moved.size(); ++n) {
    const std::wstring path = folder + Wide(earlier.moved[n]);
    if (installed.Restore(AsideFile(folder, n), path) == Removal::kFailed) {
      log.Line(WithError(L"could not put back " + path, GetLastError()));
      ++left;
    }
  }
  if (reregister && earlier.component) {
    const RegistrationResult result =
        RegisterComponent(folder.c_str(), kRegistrationTimeLimitMs, Registration::kRegister);
    log.Line(result == RegistrationResult::kRegistered
                 ? L"registered the earlier component again"
                 : L"the earlier component could not be registered again");
  }
  if (left != 0) {
    log.Line(DecimalText<wchar_t>(left) + L" earlier files stay in " + folder + kAsideFolder);
    return;
  }
  installed.RemoveFile(journal);
  installed.RemoveFolderIfEmpty(folder + kAsideFolder);
  earlier.aside = false;
  log.Line(L"put the earlier installation back");
}

void RecordFileStamps(const std::wstring& folder, const InstallOutcome& outcome, SetupLog& log) {
  std::vector<std::uint8_t> record;
  record.reserve((outcome.installedFiles.size() + outcome.userKept.size()) * sizeof(Stamp));
  const auto add = [&record](const Stamp& stamp) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&stamp);
    record.insert(record.end(), bytes, bytes + sizeof stamp);
  };
  for (const std::u16string& file : outcome.installedFiles)
    add(StampOf(folder + Wide(file)).value_or(Stamp{}));
  // The files the user changed stay theirs: no stamp of theirs is ever recorded.
  for (std::size_t n = 0; n < outcome.userKept.size(); ++n)
    add(Stamp{});
  const LSTATUS written =
      RegSetKeyValueW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath, product::kFileStampsValue,
                      REG_BINARY, record.data(), static_cast<DWORD>(record.size()));
  if (written != ERROR_SUCCESS)
    log.Line(WithError(L"could not record the files' stamps", static_cast<DWORD>(written)));
}

bool CommitUpgrade(EarlierInstallation& earlier, SetupLog& log) {
  if (!earlier.aside)
    return false;
  const std::wstring& folder = earlier.folder;
  const RemovalFolder installed(folder);
  // The earlier stamps describe files that go now: without them none counts as changed.
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath, product::kFileStampsValue);
  // The commit: with the journal gone, the next installer deletes what is aside whatever
  // happens from here on. While it stays, it would put the earlier installation back.
  if (installed.RemoveFile(folder + kJournal) != Removal::kGone) {
    log.Line(WithError(L"could not delete " + folder + kJournal, GetLastError()));
    return false;
  }
  earlier.aside = false;
  earlier.committed = true;
  bool restart = false;
  const std::wstring aside = folder + kAsideFolder;
  if (installed.RemoveFolderAndFiles(aside) != Removal::kGone) {
    // A file still in use (a module a program loaded) goes at the next restart, its folder
    // after it.
    for (std::size_t n = 0; n < earlier.moved.size(); ++n) {
      const std::wstring file = AsideFile(folder, n);
      if (GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES &&
          installed.RemoveFile(file) == Removal::kFailed) {
        const bool scheduled = MoveFileExW(file.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        log.Line(scheduled ? L"in use, deleted at the next restart: " + file
                           : WithError(L"could not delete " + file, GetLastError()));
        restart = restart || scheduled;
      }
    }
    if (installed.RemoveFolderIfEmpty(aside) != Removal::kGone && restart)
      MoveFileExW(aside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  }
  for (const std::u16string& sub : earlier.folders)
    installed.RemoveFolderIfEmpty(folder + Wide(sub));
  log.Line(restart ? L"deleted the earlier installation's files; a restart completes it"
                   : L"deleted the earlier installation's files");
  return restart;
}

void DeleteEarlierShortcuts(const EarlierInstallation& earlier,
                            const FinishChoices& choices,
                            SetupLog& log) {
  if (!earlier.committed)
    return;
  // The shortcuts are those of the new installation's choices, as after a removal.
  const struct {
    bool made;
    int csidl;
    const wchar_t* name;
  } shortcuts[] = {
      {choices.autoStart, CSIDL_STARTUP, product::kClientShortcut},
      {choices.autoStart, CSIDL_COMMON_STARTUP, product::kClientShortcut},
      {choices.createShortcuts, CSIDL_COMMON_DESKTOPDIRECTORY, product::kClientShortcut},
      {choices.createShortcuts, CSIDL_COMMON_PROGRAMS, product::kMenuClientShortcut},
      {choices.createShortcuts, CSIDL_COMMON_PROGRAMS, product::kMenuUninstallShortcut}};
  for (const auto& shortcut : shortcuts) {
    if (!shortcut.made && DeleteShortcut(shortcut.csidl, shortcut.name))
      log.Line(L"deleted the earlier shortcut " + ShortcutPath(shortcut.csidl, shortcut.name));
  }
}
