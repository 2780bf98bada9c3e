#include "win/install/Removal.h"

#include <winternl.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "core/text/NumberText.h"
#include "win/base/Files.h"
#include "win/base/Paths.h"
#include "win/install/AdminObjects.h"

bool DeleteThrough(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                    sizeof disposition) != FALSE;
}

bool RenameThrough(HANDLE handle, HANDLE folder, const std::wstring& name) {
  // The system call itself: the library call takes the new name for a path of its own,
  // relative to the current folder, where the call is given one relative to `folder`.
  using SetInformation = LONG(WINAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int);
  using StatusToError = ULONG(WINAPI*)(LONG);
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  static const auto set = reinterpret_cast<SetInformation>(
      reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtSetInformationFile")));
  static const auto toError = reinterpret_cast<StatusToError>(
      reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
  if (set == nullptr || toError == nullptr)
    return FailWith(ERROR_PROC_NOT_FOUND);
  if (name.empty() || name.find(L'\\') != std::wstring::npos)
    return FailWith(ERROR_INVALID_NAME);
  constexpr int kFileRenameInformation = 10;
  const std::size_t bytes = sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t);
  std::vector<std::uint8_t> buffer(bytes);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = folder;
  rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  std::memcpy(rename->FileName, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
  IO_STATUS_BLOCK status{};
  const LONG result =
      set(handle, &status, rename, static_cast<ULONG>(bytes), kFileRenameInformation);
  return result >= 0 || FailWith(toError(result));
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION one{}, other{};
  return GetFileInformationByHandle(a, &one) && GetFileInformationByHandle(b, &other) &&
         one.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
         one.nFileIndexHigh == other.nFileIndexHigh && one.nFileIndexLow == other.nFileIndexLow;
}

bool AtItsOwnPlace(HANDLE handle, const std::wstring& path) {
  // The volume's root: "D:\" or "\\server\share\", whose own final path may be another
  // (a substituted or mapped drive) and is taken as it is.
  const std::wstring root = VolumeOf(path);
  if (root.empty())
    return false;
  const UniqueHandle volume(CreateFileW(root.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  std::wstring expected = volume.valid() ? FinalPath(volume.get()) : std::wstring();
  if (expected.empty())
    return false;
  if (expected.back() != L'\\')
    expected += L'\\';
  // Short (8.3) names spelled long; a link on the way keeps its own name here.
  const std::wstring full = LongPath(path);
  if (full.size() < root.size())
    return false;
  expected += full.substr(root.size());
  while (expected.size() > 1 && expected.back() == L'\\')
    expected.pop_back();
  std::wstring actual = FinalPath(handle);
  while (actual.size() > 1 && actual.back() == L'\\')
    actual.pop_back();
  return !actual.empty() && SamePath(actual, expected);
}

RemovalFolder::RemovalFolder(const std::wstring& folder)
    : handle_(CreateFileW(folder.c_str(),
                          FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL,
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

bool RemovalFolder::Contains(HANDLE entry) const {
  return PathBelow(FinalPath(entry), final_);
}

Removal RemovalFolder::RemoveFile(const std::wstring& path) const {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return Missing(GetLastError()) ? Removal::kAbsent : Removal::kFailed;
  if (attributes & kLinkOrFolder) {
    FailWith(ERROR_ACCESS_DENIED);  // a link, or a folder where a file was
    return Removal::kFailed;
  }
  const UniqueHandle file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
  if (!file.valid())
    return Missing(GetLastError()) ? Removal::kAbsent : Removal::kFailed;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file.get(), &info))
    return Removal::kFailed;
  if ((info.dwFileAttributes & kLinkOrFolder) || !Contains(file.get())) {
    FailWith(ERROR_ACCESS_DENIED);
    return Removal::kFailed;
  }
  return DeleteThrough(file.get()) ? Removal::kGone : Removal::kFailed;
}

Removal RemovalFolder::Restore(const std::wstring& kept, const std::wstring& path) const {
  const DWORD attributes = GetFileAttributesW(kept.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return Missing(GetLastError()) ? Removal::kAbsent : Removal::kFailed;
  const std::size_t cut = path.rfind(L'\\');
  if ((attributes & kLinkOrFolder) || cut == std::wstring::npos) {
    FailWith(ERROR_ACCESS_DENIED);  // a link, or a folder
    return Removal::kFailed;
  }
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
    FailWith(ERROR_ALREADY_EXISTS);  // something is in its place
    return Removal::kFailed;
  }
  const UniqueHandle file(CreateFileW(kept.c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
  if (!file.valid())
    return Removal::kFailed;
  const UniqueHandle folder(CreateFileW(
      path.substr(0, cut).c_str(), FILE_READ_ATTRIBUTES | FILE_TRAVERSE | FILE_ADD_FILE, kShareAll,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info{}, where{};
  if (!folder.valid() || !GetFileInformationByHandle(file.get(), &info) ||
      !GetFileInformationByHandle(folder.get(), &where)) {
    return Removal::kFailed;
  }
  if ((info.dwFileAttributes & kLinkOrFolder) || !Contains(file.get()) ||
      (where.dwFileAttributes & kLinkOrFolder) != FILE_ATTRIBUTE_DIRECTORY ||
      (!Contains(folder.get()) && !SamePath(FinalPath(folder.get()) + L"\\", final_))) {
    FailWith(ERROR_ACCESS_DENIED);
    return Removal::kFailed;
  }
  // By its name in the folder proved above, through that folder's handle: whatever its
  // path names meanwhile, it lands there.
  return RenameThrough(file.get(), folder.get(), path.substr(cut + 1)) ? Removal::kGone
                                                                       : Removal::kFailed;
}

std::wstring RemovalFolder::RemoveAtRestart(const std::wstring& path,
                                            const std::wstring& place) const {
  const std::wstring stem = place + L'.' + DecimalText<wchar_t>(GetCurrentProcessId());
  for (unsigned k = 0; k < 100; ++k) {
    const std::wstring name = stem + (k == 0 ? L"" : L"." + DecimalText<wchar_t>(k)) + L".del";
    if (GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES)
      continue;
    if (Restore(path, name) != Removal::kGone)
      return {};
    if (MoveFileExW(name.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
      return name;
    Restore(name, path);
    return {};
  }
  return {};
}

bool RemovalFolder::Rewrite(const std::wstring& path, const std::string& bytes) const {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & kLinkOrFolder) ||
      bytes.size() > MAXDWORD) {
    return false;
  }
  const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  DWORD written = 0;
  return file.valid() && GetFileInformationByHandle(file.get(), &info) &&
         !(info.dwFileAttributes & kLinkOrFolder) && info.nNumberOfLinks == 1 &&
         Contains(file.get()) &&
         WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size() && SetEndOfFile(file.get());
}

Removal RemovalFolder::RemoveFolderIfEmpty(const std::wstring& path) const {
  return RemoveFolder(path, false);
}

Removal RemovalFolder::RemoveFolderAndFiles(const std::wstring& path) const {
  return RemoveFolder(path, true);
}

Removal RemovalFolder::RemoveFolder(const std::wstring& path, bool anyFile) const {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return Removal::kAbsent;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
    return Removal::kFailed;
  const UniqueHandle folder(CreateFileW(
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
  bool kept = false;
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
            (!anyFile &&
             CompareStringOrdinal(name.c_str(), -1, L"Thumbs.db", -1, TRUE) != CSTR_EQUAL)) {
          return Removal::kKept;
        }
        if (RemoveFile(path + L"\\" + name) == Removal::kFailed) {
          // In use, and already scheduled for the next restart: it keeps the folder.
          if (!anyFile || name.size() < 4 || name.compare(name.size() - 4, 4, L".del") != 0)
            return Removal::kFailed;
          kept = true;
        }
      }
      if (entry->NextEntryOffset == 0)
        break;
      at += entry->NextEntryOffset;
    }
  }
  if (kept)
    return Removal::kKept;
  if (DeleteThrough(folder.get()))
    return Removal::kGone;
  return GetLastError() == ERROR_DIR_NOT_EMPTY ? Removal::kKept : Removal::kFailed;
}

bool RemovalFolder::IsFolder(const std::wstring& path) const {
  const UniqueHandle other(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return handle_.valid() && other.valid() && SameFile(handle_.get(), other.get());
}

bool RemovalFolder::OnlyAdministratorsMayChange() const {
  return handle_.valid() && ::OnlyAdministratorsMayChange(handle_.get());
}
