// copy_floor SOURCE DESTINATION
//
// Copies every file below the folder SOURCE into DESTINATION (made, with its sub-folders)
// with CopyFileW, one file after another: the least an installation of the same files can
// do. bench/compare-nsis.sh times it beside the installers as the copy floor. Exit status
// 0 copied, 1 a folder could not be read or made or a file copied (named on stderr), 2
// usage.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

bool CopyTree(const std::wstring& from, const std::wstring& to) {
  if (!CreateDirectoryW(to.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    std::fwprintf(stderr, L"copy_floor: cannot make %ls (error %lu)\n", to.c_str(), GetLastError());
    return false;
  }
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileExW((from + L"\\*").c_str(), FindExInfoBasic, &entry,
                                 FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) {
    std::fwprintf(stderr, L"copy_floor: cannot read %ls\n", from.c_str());
    return false;
  }
  bool ok = true;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..")
      continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ok = CopyTree(from + L'\\' + name, to + L'\\' + name);
    } else if (!CopyFileW((from + L'\\' + name).c_str(), (to + L'\\' + name).c_str(), TRUE)) {
      std::fwprintf(stderr, L"copy_floor: cannot copy %ls (error %lu)\n", name.c_str(),
                    GetLastError());
      ok = false;
    }
  } while (ok && FindNextFileW(find, &entry));
  FindClose(find);
  return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fputs("usage: copy_floor SOURCE DESTINATION\n", stderr);
    return 2;
  }
  return CopyTree(argv[1], argv[2]) ? 0 : 1;
}
