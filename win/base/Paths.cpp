#include "win/base/Paths.h"

// after windows.h
#include <shlobj.h>

#include <algorithm>

#include "win/base/Owners.h"

namespace {

template <class Char>
std::basic_string<Char> Grown(TextCall<Char> call, const void* context, std::size_t start) {
  std::basic_string<Char> text(start, Char{});
  for (;;) {
    const DWORD n = call(text.data(), static_cast<DWORD>(text.size()), context);
    if (n == 0)
      return {};
    if (n < text.size()) {
      text.resize(n);
      return text;
    }
    text.resize(std::max<std::size_t>(n + std::size_t{1}, text.size() * 2));
  }
}

const std::wstring& PathOf(const void* context) {
  return *static_cast<const std::wstring*>(context);
}

enum class Place { kOutside, kFolder, kBelow };

Place PlaceOf(std::wstring_view path, std::wstring_view folder) {
  while (!folder.empty() && folder.back() == L'\\')
    folder.remove_suffix(1);
  const int units = static_cast<int>(folder.size());
  if (folder.empty() || path.size() < folder.size() ||
      CompareStringOrdinal(path.data(), units, folder.data(), units, TRUE) != CSTR_EQUAL) {
    return Place::kOutside;
  }
  if (path.size() == folder.size())
    return Place::kFolder;
  if (path[folder.size()] != L'\\')
    return Place::kOutside;  // "D:\Folder2" is not in "D:\Folder"
  return path.size() > folder.size() + 1 ? Place::kBelow : Place::kFolder;
}

}  // namespace

std::wstring GrownString(TextCall<wchar_t> call, const void* context, std::size_t start) {
  return Grown(call, context, start);
}

std::string GrownString(TextCall<char> call, const void* context, std::size_t start) {
  return Grown(call, context, start);
}

std::wstring ModulePath() {
  return GrownString([](wchar_t* buffer, DWORD size,
                        const void*) { return GetModuleFileNameW(nullptr, buffer, size); },
                     nullptr);
}

std::wstring ModuleFolder() {
  const std::wstring self = ModulePath();
  return self.substr(0, self.find_last_of(L'\\') + 1);
}

std::wstring FinalPath(HANDLE handle) {
  return GrownString(
      [](wchar_t* buffer, DWORD size, const void* context) {
        return GetFinalPathNameByHandleW(const_cast<HANDLE>(context), buffer, size, 0);
      },
      handle);
}

std::wstring FullPath(const std::wstring& path) {
  std::wstring full = GrownString(
      [](wchar_t* buffer, DWORD size, const void* context) {
        return GetFullPathNameW(PathOf(context).c_str(), size, buffer, nullptr);
      },
      &path);
  return full.empty() ? path : full;
}

std::wstring LongPath(const std::wstring& path) {
  std::wstring full = GrownString(
      [](wchar_t* buffer, DWORD size, const void* context) {
        return GetLongPathNameW(PathOf(context).c_str(), buffer, size);
      },
      &path);
  return full.empty() ? path : full;
}

std::wstring VolumeOf(const std::wstring& path) {
  // The volume's path is never longer than the path it was found from with a '\', or
  // than a drive's root when that path was relative.
  std::wstring root(std::max<std::size_t>(path.size() + 2, MAX_PATH), L'\0');
  if (!GetVolumePathNameW(path.c_str(), root.data(), static_cast<DWORD>(root.size())))
    return {};
  root.resize(std::char_traits<wchar_t>::length(root.c_str()));
  return root;
}

std::wstring PathRoot(const std::wstring& path) {
  if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\')
    return path.substr(0, 3);
  if (path.compare(0, 2, L"\\\\") == 0) {
    const std::size_t server = path.find(L'\\', 2);
    const std::size_t share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
    if (server > 2 && share != std::wstring::npos && share > server + 1)
      return path.substr(0, share + 1);
  }
  return {};
}

std::wstring SystemFolder() {
  return GrownString([](wchar_t* buffer, DWORD size,
                        const void*) -> DWORD { return GetSystemDirectoryW(buffer, size); },
                     nullptr);
}

std::wstring WindowsFolder() {
  return GrownString([](wchar_t* buffer, DWORD size,
                        const void*) -> DWORD { return GetSystemWindowsDirectoryW(buffer, size); },
                     nullptr);
}

std::wstring SpecialFolderPath(int csidl) {
  ComPtr<IMalloc> allocator;
  if (FAILED(SHGetMalloc(allocator.put())))
    return {};
  std::wstring path;
  LPITEMIDLIST list = nullptr;
  if (SUCCEEDED(SHGetSpecialFolderLocation(nullptr, csidl, &list))) {
    wchar_t folder[MAX_PATH] = {};  // what the call writes at most
    if (SHGetPathFromIDListW(list, folder))
      path = folder;
    allocator->Free(list);
  }
  return path;
}

bool PathWithin(std::wstring_view path, std::wstring_view folder) {
  return PlaceOf(path, folder) != Place::kOutside;
}

bool PathBelow(std::wstring_view path, std::wstring_view folder) {
  return PlaceOf(path, folder) == Place::kBelow;
}
