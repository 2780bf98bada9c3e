#include "install/Removal.h"

namespace {

constexpr DWORD kLinkOrFolder = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool Missing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

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

RemovalFolder::RemovalFolder(const std::wstring& folder)
    : handle_(CreateFileW(folder.c_str(),
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

bool RemovalFolder::Contains(HANDLE entry) const {
  if (final_.empty())
    return false;
  const std::wstring path = FinalPath(entry);
  return path.size() > final_.size() &&
         CompareStringOrdinal(path.c_str(), static_cast<int>(final_.size()), final_.c_str(),
                              static_cast<int>(final_.size()), TRUE) == CSTR_EQUAL;
}

Removal RemovalFolder::RemoveFile(const std::wstring& path) const {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return Missing(GetLastError()) ? Removal::kAbsent : Removal::kFailed;
  if (attributes & kLinkOrFolder)
    return Removal::kFailed;  // a link, or a folder where a file was
  const UniqueHandle file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
  if (!file.valid())
    return Missing(GetLastError()) ? Removal::kAbsent : Removal::kFailed;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file.get(), &info) || (info.dwFileAttributes & kLinkOrFolder) ||
      !Contains(file.get())) {
    return Removal::kFailed;
  }
  return DeleteThrough(file.get()) ? Removal::kGone : Removal::kFailed;
}

Removal RemovalFolder::RemoveFolderIfEmpty(const std::wstring& path) const {
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
        if (RemoveFile(path + L"\\" + name) == Removal::kFailed)
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
