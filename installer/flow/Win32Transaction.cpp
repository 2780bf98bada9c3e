#include "installer/flow/Win32Transaction.h"

#include "core/product/Product.h"
#include "installer/flow/Finishing.h"
#include "win/base/Files.h"
#include "win/base/Paths.h"
#include "win/base/Text.h"
#include "win/install/FolderRights.h"
#include "win/install/ManifestFile.h"
#include "win/install/Registration.h"

namespace {

std::wstring JournalPath(const std::u16string& folder) {
  return Wide(folder) + product::kAsideFolder + L"\\journal";
}

Step StepOf(Removal removal) {
  switch (removal) {
    case Removal::kGone:
      return Step::kDone;
    case Removal::kAbsent:
      return Step::kAbsent;
    case Removal::kKept:
      return Step::kKept;
    case Removal::kFailed:
      break;
  }
  return Step::kFailed;
}

// Writes `bytes` to the end of the journal at `path` (made new when `create`) and to disk,
// never through a link, into a plain file with no other name.
bool WriteJournal(const std::wstring& path, const std::string& bytes, bool create) {
  const UniqueHandle file(CreateFileW(
      path.c_str(), create ? GENERIC_WRITE : FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ,
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

}  // namespace

void Win32Transaction::AddFolder(const std::wstring& folder, std::vector<UniqueHandle> held) {
  Folder added{folder, std::move(held), std::make_unique<RemovalFolder>(folder)};
  folders_.push_back(std::move(added));
}

Win32Transaction::Folder* Win32Transaction::Below(const std::wstring& path) {
  for (Folder& folder : folders_) {
    if (folder.removal && PathBelow(path, folder.path))
      return &folder;
  }
  return nullptr;
}

bool Win32Transaction::MakeJournal(const std::u16string& folder, const std::string& text) {
  const std::wstring aside = Wide(folder) + product::kAsideFolder;
  if (Below(aside) == nullptr)
    return false;
  // One there already holds what an earlier upgrade left to the next restart; the journal
  // is made new in it (never over one).
  if (!CreateDirectoryW(aside.c_str(),
                        const_cast<SECURITY_ATTRIBUTES*>(ProtectedRights::Get().Folder())) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    return false;
  }
  const DWORD attributes = GetFileAttributesW(aside.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & kLinkOrFolder) == FILE_ATTRIBUTE_DIRECTORY &&
         WriteJournal(JournalPath(folder), text, true);
}

bool Win32Transaction::AppendJournal(const std::u16string& folder, const std::string& text) {
  return Below(JournalPath(folder)) != nullptr && WriteJournal(JournalPath(folder), text, false);
}

Step Win32Transaction::ReadJournal(const std::u16string& folder, std::string* text) {
  const std::wstring path = JournalPath(folder);
  if (Below(path) == nullptr)
    return Step::kFailed;
  const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid())
    return Missing(GetLastError()) ? Step::kAbsent : Step::kFailed;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file.get(), &info) || (info.dwFileAttributes & kLinkOrFolder) ||
      info.nFileSizeHigh != 0 || info.nFileSizeLow > (DWORD{64} << 20)) {
    return Step::kFailed;
  }
  text->assign(info.nFileSizeLow, '\0');
  DWORD read = 0;
  return ReadFile(file.get(), text->data(), info.nFileSizeLow, &read, nullptr) &&
                 read == info.nFileSizeLow
             ? Step::kDone
             : Step::kFailed;
}

bool Win32Transaction::RemoveJournal(const std::u16string& folder) {
  const std::wstring path = JournalPath(folder);
  Folder* in = Below(path);
  if (in == nullptr || in->removal->RemoveFile(path) == Removal::kFailed)
    return false;
  in->removal->RemoveFolderIfEmpty(Wide(folder) + product::kAsideFolder);
  return true;
}

Step Win32Transaction::RemoveAside(const std::u16string& folder) {
  const std::wstring aside = Wide(folder) + product::kAsideFolder;
  Folder* in = Below(aside);
  if (in == nullptr)
    return Step::kFailed;
  return StepOf(in->removal->RemoveFolderAndFiles(aside));
}

bool Win32Transaction::MarkJournal(const std::u16string& folder) {
  LSTATUS result;
  if (folder.empty()) {
    result =
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath, product::kJournalValue);
    result = result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
  } else {
    const std::wstring value = Wide(folder);
    result = RegSetKeyValueW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath, product::kJournalValue,
                             REG_SZ, value.c_str(),
                             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }
  if (result != ERROR_SUCCESS)
    log_.Line(WithError(L"could not note the journal in the uninstall entry", result));
  return result == ERROR_SUCCESS;
}

Step Win32Transaction::Move(const std::u16string& from, const std::u16string& to) {
  const std::wstring source = Wide(from), place = Wide(to);
  Folder* in = Below(source);
  if (in == nullptr || Below(place) != in)
    return Step::kFailed;
  const Step step = StepOf(in->removal->Restore(source, place));
  if (step == Step::kFailed)
    log_.Line(WithError(L"could not move " + source + L" to " + place, GetLastError()));
  return step;
}

Step Win32Transaction::Remove(const std::u16string& path) {
  const std::wstring file = Wide(path);
  Folder* in = Below(file);
  if (in == nullptr)
    return Step::kFailed;
  const Step step = StepOf(in->removal->RemoveFile(file));
  if (step == Step::kFailed)
    log_.Line(WithError(L"could not remove " + file, GetLastError()));
  return step;
}

Step Win32Transaction::RemoveFolder(const std::u16string& path) {
  std::wstring folder = Wide(path);
  while (folder.size() > 3 && folder.back() == L'\\')
    folder.pop_back();
  if (Folder* in = Below(folder + L"\\"); in != nullptr && folder.size() >= in->path.size())
    return StepOf(in->removal->RemoveFolderIfEmpty(folder));
  // A folder given, or one above it: let go of every folder given below it, then remove it
  // while it is empty (by its path: nothing inside can be harmed by that).
  bool given = false;
  for (Folder& below : folders_) {
    if (PathWithin(below.path, folder)) {
      below.removal.reset();
      below.held.clear();
      given = true;
    }
  }
  if (!given)
    return Step::kFailed;
  if (RemoveDirectoryW(folder.c_str()))
    return Step::kDone;
  const DWORD error = GetLastError();
  return Missing(error)                 ? Step::kAbsent
         : error == ERROR_DIR_NOT_EMPTY ? Step::kKept
                                        : Step::kFailed;
}

bool Win32Transaction::RemoveAtRestart(const std::u16string& path, const std::u16string& place) {
  Folder* in = Below(Wide(path));
  return in != nullptr && Below(Wide(place)) == in &&
         !in->removal->RemoveAtRestart(Wide(path), Wide(place)).empty();
}

bool Win32Transaction::RemoveFolderAtRestart(const std::u16string& path) {
  return MoveFileExW(Wide(path).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

bool Win32Transaction::ReadManifest(const std::u16string& path, ManifestLists* lists) {
  const std::wstring file = Wide(path);
  *lists = ManifestLists{};
  if (Below(file) == nullptr) {
    log_.Line(file + L" is not in a folder the installation can prove its own: it is not read");
    return true;
  }
  const DWORD attributes = GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES && Missing(GetLastError()))
    return true;
  const UniqueHandle readable(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & kLinkOrFolder) || !readable.valid())
    return false;
  *lists = ::ReadManifest(ToCodePage(file));
  return true;
}

bool Win32Transaction::WriteEntry(const std::vector<EntryValue>& entry) {
  return WriteUninstallEntry(entry, log_);
}

bool Win32Transaction::Served(const std::u16string& folder) {
  return !ClassesServedFrom(Wide(folder)).empty();
}

bool Win32Transaction::Register(const std::u16string& folder) {
  // Its code runs with this program's rights: only from a folder given.
  const std::wstring path = Wide(folder);
  return Below(path + product::kComponentFile) != nullptr &&
         RegisterComponent(path.c_str(), kRegistrationTimeLimitMs, Registration::kRegister) ==
             RegistrationResult::kRegistered;
}

bool Win32Transaction::Unregister(const std::u16string& folder, bool throughComponent) {
  const std::wstring path = Wide(folder);
  const std::wstring component = path + product::kComponentFile;
  if (throughComponent && Below(component) != nullptr &&
      GetFileAttributesW(component.c_str()) != INVALID_FILE_ATTRIBUTES) {
    RegisterComponent(path.c_str(), kRegistrationTimeLimitMs, Registration::kUnregister);
  }
  // What its own unregistration left, or a class whose file is gone: the keys themselves.
  return RemoveClassesServedFrom(path);
}

bool Win32Transaction::RemoveShortcuts() {
  return DeleteProductShortcuts();
}

void Win32Transaction::Note(const std::u16string& line) {
  log_.Line(Wide(line));
}
