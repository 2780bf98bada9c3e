#include "win/install/HeldFolder.h"

// after windows.h
#include <shlobj.h>

#include <cwchar>

#include "win/base/Paths.h"
#include "win/install/AdminObjects.h"
#include "win/install/FolderRights.h"
#include "win/install/Removal.h"

namespace {

// Whether `path` is one of the system's own folders, or the folder of users' profiles:
// their rights are not the installer's to change.
bool IsSystemFolder(const std::wstring& path) {
  static constexpr int kFolders[] = {CSIDL_WINDOWS,
                                     CSIDL_SYSTEM,
                                     CSIDL_SYSTEMX86,
                                     CSIDL_PROGRAM_FILES,
                                     CSIDL_PROGRAM_FILESX86,
                                     CSIDL_PROGRAM_FILES_COMMON,
                                     CSIDL_COMMON_APPDATA,
                                     CSIDL_PROFILE,
                                     CSIDL_APPDATA,
                                     CSIDL_LOCAL_APPDATA,
                                     CSIDL_DESKTOPDIRECTORY,
                                     CSIDL_PERSONAL,
                                     CSIDL_COMMON_DESKTOPDIRECTORY,
                                     CSIDL_COMMON_DOCUMENTS,
                                     CSIDL_PROGRAMS,
                                     CSIDL_COMMON_PROGRAMS,
                                     CSIDL_STARTUP,
                                     CSIDL_COMMON_STARTUP};
  for (const int csidl : kFolders) {
    wchar_t folder[MAX_PATH] = {};  // what the call writes at most
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder)))
      continue;
    std::wstring system = folder;
    if (SamePath(system, path))
      return true;
    const std::size_t cut = system.rfind(L'\\');
    if (csidl == CSIDL_PROFILE && cut != std::wstring::npos &&
        SamePath(system.substr(0, cut), path))
      return true;
  }
  return false;
}

bool MakeProtectedFolder(const std::wstring& path) {
  return CreateDirectoryW(path.c_str(), const_cast<SECURITY_ATTRIBUTES*>(
                                            ProtectedRights::Get().Folder())) != FALSE;
}

// Whether the folder `path` holds nothing at all.
bool Empty(const std::wstring& path) {
  WIN32_FIND_DATAW entry;
  const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE)
    return false;
  bool empty = true;
  do {
    empty = empty &&
            (std::wcscmp(entry.cFileName, L".") == 0 || std::wcscmp(entry.cFileName, L"..") == 0);
  } while (empty && FindNextFileW(find, &entry));
  FindClose(find);
  return empty;
}

// Opens `path`, a folder that exists, without following a link and proves it a real folder
// at its own place; `access` besides listing it.
FolderOpening OpenFolderOnTheWay(const std::wstring& path, DWORD access, UniqueHandle* folder) {
  folder->reset(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | access,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!folder->valid()) {
    return (access & WRITE_DAC) != 0 && GetLastError() == ERROR_ACCESS_DENIED
               ? FolderOpening::kCannotProtect
               : FolderOpening::kCannotMake;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(folder->get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !AtItsOwnPlace(folder->get(), path)) {
    return FolderOpening::kLink;
  }
  return FolderOpening::kOpened;
}

}  // namespace

FolderOpening OpenInstallFolder(const std::wstring& folder, HeldFolder* held) {
  const std::wstring root = PathRoot(folder);
  if (root.empty() || folder.back() != L'\\')
    return FolderOpening::kCannotMake;
  if (folder.size() == root.size())
    return FolderOpening::kSystemFolder;
  // Each folder's parent, the volume's root first: what it lets others remove decides
  // whether the folder can be moved away and another put in its place.
  UniqueHandle parent(CreateFileW(root.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!parent.valid()) {
    held->error = GetLastError();
    return FolderOpening::kCannotMake;
  }
  std::vector<UniqueHandle> handles;
  bool made = false;
  for (std::size_t cut = folder.find(L'\\', root.size()); cut != std::wstring::npos;
       cut = folder.find(L'\\', cut + 1)) {
    const std::wstring path = folder.substr(0, cut);
    const HANDLE above = handles.empty() ? parent.get() : handles.back().get();
    if (OthersMayRemoveEntries(above))
      return FolderOpening::kMovable;
    made = false;
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      made = MakeProtectedFolder(path);
      const DWORD error = made ? ERROR_SUCCESS : GetLastError();
      if (made)
        held->created.push_back(path);
      attributes = GetFileAttributesW(path.c_str());  // or made meanwhile by someone else
      if (attributes == INVALID_FILE_ATTRIBUTES) {
        held->error = made ? GetLastError() : error;
        return FolderOpening::kCannotMake;
      }
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
      return FolderOpening::kCannotMake;  // a file in its place
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
      return FolderOpening::kLink;
    // The install folder itself, when it was there before, is protected through its handle.
    const bool protect = cut + 1 == folder.size() && !made;
    UniqueHandle handle;
    FolderOpening opening =
        OpenFolderOnTheWay(path, READ_CONTROL | (protect ? WRITE_DAC | WRITE_OWNER : 0), &handle);
    if (opening != FolderOpening::kOpened) {
      if (opening != FolderOpening::kLink)
        held->error = GetLastError();
      return opening;
    }
    if (protect && IsSystemFolder(LongPath(path)))
      return FolderOpening::kSystemFolder;
    if (protect && !OnlyAdministratorsMayChange(handle.get())) {
      // Someone else could open it with rights to change it, and a handle keeps the rights it
      // was opened with whatever the folder's rights become: an empty one is replaced by a
      // folder made here, which no earlier handle opens; one that holds files is refused.
      handle.reset();
      if (!Empty(path) || !RemoveDirectoryW(path.c_str()))
        return FolderOpening::kOthersMayChange;
      if (!MakeProtectedFolder(path)) {
        // Someone made one of that name first, or none can be made: the empty folder goes
        // back as it was made before, where the name is still free.
        CreateDirectoryW(path.c_str(), nullptr);
        return FolderOpening::kOthersMayChange;
      }
      made = true;
      held->created.push_back(path);
      opening = OpenFolderOnTheWay(path, READ_CONTROL, &handle);
      if (opening != FolderOpening::kOpened) {
        if (opening != FolderOpening::kLink)
          held->error = GetLastError();
        return opening;
      }
    } else if (protect && !ProtectedRights::Get().ProtectExisting(handle.get())) {
      held->error = GetLastError();
      return FolderOpening::kCannotProtect;
    }
    if (!made && !protect && OthersMayRemove(handle.get()))
      return FolderOpening::kMovable;
    handles.push_back(std::move(handle));
  }
  held->path = LongPath(folder.substr(0, folder.size() - 1)) + L'\\';
  held->handles = std::move(handles);
  held->fresh = made;
  return FolderOpening::kOpened;
}

FolderTrust HoldExistingFolder(const std::wstring& folder, HeldFolder* held) {
  *held = HeldFolder{};
  const std::wstring root = PathRoot(folder);
  if (root.empty() || folder.size() <= root.size() || folder.back() != L'\\')
    return FolderTrust::kMissing;
  std::vector<UniqueHandle> handles;
  for (std::size_t cut = folder.find(L'\\', root.size()); cut != std::wstring::npos;
       cut = folder.find(L'\\', cut + 1)) {
    const std::wstring path = folder.substr(0, cut);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
      return FolderTrust::kMissing;
    UniqueHandle handle;
    const FolderOpening opening =
        OpenFolderOnTheWay(path, cut + 1 == folder.size() ? READ_CONTROL : 0, &handle);
    if (opening == FolderOpening::kLink || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
      return FolderTrust::kLink;
    if (opening != FolderOpening::kOpened)
      return FolderTrust::kMissing;
    handles.push_back(std::move(handle));
  }
  const bool own = OnlyAdministratorsMayChange(handles.back().get());
  held->path = LongPath(folder.substr(0, folder.size() - 1)) + L'\\';
  held->handles = std::move(handles);
  return own ? FolderTrust::kOwn : FolderTrust::kForeign;
}
