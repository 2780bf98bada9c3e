#include "uninstaller/SelfRemoval.h"

#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <cwchar>
#include <vector>

#include "core/product/Product.h"
#include "core/text/NumberText.h"
#include "win/base/Files.h"
#include "win/base/Owners.h"
#include "win/base/Paths.h"
#include "win/install/AdminObjects.h"
#include "win/install/CommandLine.h"
#include "win/install/Removal.h"

namespace {

// O:BA, owned by Administrators rather than by the account running this: an owner may
// always change the rights, and that account's programs that run without elevation hold
// the account too, but the group only for denying. P: nothing inherited from the Temp
// folder. SY and BA: FA, full control; nobody else any access.
constexpr wchar_t kFolderRights[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr wchar_t kCopyRights[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)";

// A new folder below the Windows folder's Temp folder, named at random and made with
// `rights`; its path without the final '\', or empty. The system's Windows folder, never
// the private one a program unaware of terminal services may be given in a user's profile.
std::wstring MakeFolder(const SECURITY_ATTRIBUTES* rights) {
  const std::wstring windows = WindowsFolder();
  if (windows.empty())
    return {};
  for (int attempt = 0; attempt < 4; ++attempt) {
    const std::wstring digits = RandomDigits();
    if (digits.empty())
      return {};
    const std::wstring folder = windows + L"\\Temp\\Del" + digits;
    if (CreateDirectoryW(folder.c_str(), const_cast<SECURITY_ATTRIBUTES*>(rights)))
      return folder;
    if (GetLastError() != ERROR_ALREADY_EXISTS)
      return {};
  }
  return {};
}

// Copies what is left of `in` to `out`; false when reading or writing fails.
bool CopyBytes(HANDLE in, HANDLE out) {
  std::vector<char> buffer(65536);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
      return false;
    if (read == 0)
      return true;
    DWORD wrote = 0;
    if (!WriteFile(out, buffer.data(), read, &wrote, nullptr) || wrote != read)
      return false;
  }
}

// Writes the file `source` anew as `copy`, with `rights`, through the handle that creates
// it, and gives it the source's time of last writing. The handle it returns has no access
// but deletion, and the copy goes when it closes; invalid when the copy failed (it is then
// gone already).
UniqueHandle WriteCopy(const std::wstring& source,
                       const std::wstring& copy,
                       const SECURITY_ATTRIBUTES* rights) {
  const UniqueHandle in(CreateFileW(source.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!in.valid() || !GetFileInformationByHandle(in.get(), &info))
    return UniqueHandle();
  const UniqueHandle out(CreateFileW(
      copy.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
      const_cast<SECURITY_ATTRIBUTES*>(rights), CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out.valid())
    return UniqueHandle();
  const bool written = CopyBytes(in.get(), out.get()) &&
                       SetFileTime(out.get(), nullptr, nullptr, &info.ftLastWriteTime);
  // The system opens the image to start it, sharing no writing: the handle kept must not
  // write, and so shares writing with `out` until that closes.
  UniqueHandle kept(written ? ReOpenFile(out.get(), DELETE, kShareAll, FILE_FLAG_DELETE_ON_CLOSE)
                            : INVALID_HANDLE_VALUE);
  if (!kept.valid())
    DeleteThrough(out.get());
  return kept;
}

// Starts `command`, the program `copy`, in `folder`, with `process` its one inherited
// handle.
bool StartHelper(const std::wstring& copy,
                 std::wstring command,
                 const std::wstring& folder,
                 HANDLE process) {
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> storage(size);
  const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  if (storage.empty() || !InitializeProcThreadAttributeList(list, 1, 0, &size))
    return false;
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
  startup.StartupInfo.wShowWindow = SW_SHOW;
  startup.lpAttributeList = list;
  PROCESS_INFORMATION started{};
  const bool ok = UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &process,
                                            sizeof process, nullptr, nullptr) &&
                  CreateProcessW(copy.c_str(), command.data(), nullptr, nullptr, TRUE,
                                 EXTENDED_STARTUPINFO_PRESENT, nullptr, folder.c_str(),
                                 &startup.StartupInfo, &started);
  DeleteProcThreadAttributeList(list);
  const ProcessHandles helper(started);
  return ok;
}

// The folder of `path`, without its last '\'; empty when it has none.
std::wstring FolderOf(const std::wstring& path) {
  const std::size_t last = path.find_last_of(L'\\');
  return last == std::wstring::npos ? std::wstring() : path.substr(0, last);
}

// Whether `process` is a handle to another process, which this one may wait on, that runs
// the file `uninstaller`, an uninstall.exe: what the uninstaller hands down (with
// SYNCHRONIZE and PROCESS_QUERY_LIMITED_INFORMATION). A number guessed or handed down by
// anyone else names no such handle - another object, a pseudo handle of this process or its
// thread, or a process that runs something else - and nothing is deleted, never waited on.
bool UninstallerProcess(HANDLE process, const std::wstring& uninstaller) {
  const std::size_t last = uninstaller.find_last_of(L'\\');
  if (process == nullptr || last == std::wstring::npos ||
      CompareStringOrdinal(uninstaller.c_str() + last + 1, -1, product::kUninstallerFile, -1,
                           TRUE) != CSTR_EQUAL) {
    return false;
  }
  const DWORD id = GetProcessId(process);
  if (id == 0 || id == GetCurrentProcessId() || WaitForSingleObject(process, 0) == WAIT_FAILED)
    return false;
  std::vector<wchar_t> image(32768);  // the longest path the system knows
  DWORD units = static_cast<DWORD>(image.size());
  if (!QueryFullProcessImageNameW(process, 0, image.data(), &units))
    return false;
  const auto open = [](const wchar_t* path) {
    return UniqueHandle(CreateFileW(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  };
  const UniqueHandle running = open(image.data());
  const UniqueHandle named = open(uninstaller.c_str());
  return running.valid() && named.valid() && SameFile(running.get(), named.get());
}

void CleanUp(HANDLE process, const std::wstring& uninstaller, const std::wstring& madeFolder) {
  WaitForSingleObject(process, INFINITE);
  Sleep(1000);
  WIN32_FILE_ATTRIBUTE_DATA copy{};
  if (!GetFileAttributesExW(ModulePath().c_str(), GetFileExInfoStandard, &copy))
    return;
  {
    const UniqueHandle file(CreateFileW(uninstaller.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                        kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (file.valid() && GetFileInformationByHandle(file.get(), &info) &&
        !(info.dwFileAttributes & kLinkOrFolder) && info.nFileSizeHigh == copy.nFileSizeHigh &&
        info.nFileSizeLow == copy.nFileSizeLow &&
        CompareFileTime(&info.ftLastWriteTime, &copy.ftLastWriteTime) == 0) {
      DeleteThrough(file.get());
    }
  }  // the file goes when its handle closes, before its folder can
  std::wstring folder = FolderOf(uninstaller);
  if (folder.empty() || !RemoveDirectoryW(folder.c_str()))
    return;
  // The folders the installation made above its own go too, while nothing else is in them.
  for (folder = FolderOf(folder); PathWithin(folder, madeFolder); folder = FolderOf(folder)) {
    if (!RemoveDirectoryW(folder.c_str()))
      break;
  }
}

}  // namespace

bool ScheduleSelfDelete(const std::wstring& self, const std::wstring& madeFolder) {
  const SddlAttributes folderRights(kFolderRights);
  const SddlAttributes copyRights(kCopyRights);
  if (self.empty() || folderRights.get() == nullptr || copyRights.get() == nullptr)
    return false;  // never a folder with the rights it would inherit
  const std::wstring folder = MakeFolder(folderRights.get());
  if (folder.empty())
    return false;
  const std::wstring copy = folder + L"\\" + product::kUninstallerFile;
  bool started = false;
  {
    const UniqueHandle kept = WriteCopy(self, copy, copyRights.get());
    const UniqueHandle process(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, TRUE, GetCurrentProcessId()));
    started = kept.valid() && process.valid() &&
              StartHelper(copy,
                          CleanUpCommandLine(copy, reinterpret_cast<std::uintptr_t>(process.get()),
                                             self, madeFolder),
                          folder, process.get());
  }  // unless the helper runs it, the copy goes with its handle
  if (!started) {
    RemoveDirectoryW(folder.c_str());
    return false;
  }
  // The folder cannot go while the helper runs from it: it goes at the next restart, after
  // the copy should the helper's end not have taken that.
  MoveFileExW(copy.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  MoveFileExW(folder.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  return true;
}

std::wstring CleanUpCommandLine(const std::wstring& copy,
                                std::uintptr_t process,
                                const std::wstring& uninstaller,
                                const std::wstring& madeFolder) {
  return QuoteArgument(copy) + L" " + kCleanUpSwitch + L" " + DecimalText<wchar_t>(process) + L" " +
         QuoteArgument(uninstaller) +
         (madeFolder.empty() ? std::wstring() : L" " + QuoteArgument(madeFolder));
}

bool CleanUp(const wchar_t* commandLine) {
  int count = 0;
  const LocalMemory<LPWSTR*> arguments(CommandLineToArgvW(commandLine, &count));
  if (arguments.get() == nullptr || count < 4 || count > 5 ||
      std::wcscmp(arguments.get()[1], kCleanUpSwitch) != 0) {
    return false;
  }
  const auto process = reinterpret_cast<HANDLE>(
      static_cast<std::uintptr_t>(std::wcstoull(arguments.get()[2], nullptr, 10)));
  if (!UninstallerProcess(process, arguments.get()[3]))
    return false;
  CleanUp(process, arguments.get()[3], count == 5 ? arguments.get()[4] : std::wstring());
  return true;
}
