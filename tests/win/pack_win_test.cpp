// The Windows packager (setup_pack.exe) takes what only Windows has - UTF-16 names and
// arguments, paths over MAX_PATH, reparse points - by the rules the host packager applies
// to links, and makes byte for byte the installer the host packager makes of a folder.
// Wine makes no junction or symbolic link itself, but shows a host link as a reparse point
// that resolves to its final path: the links below are host links the build made. (Wine
// does not list a host link that leads nowhere, so that refusal is the host tests' alone.)
#include <windows.h>
// After windows.h:
#include <winioctl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/win/worker_harness.h"

namespace {

std::wstring Scratch() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  return std::wstring(temp) + L"pack_win\\";
}

void MakeFile(const std::wstring& path, const std::string& bytes) {
  const std::wstring longPath = L"\\\\?\\" + path;
  for (std::size_t at = longPath.find(L'\\', 7); at != std::wstring::npos;
       at = longPath.find(L'\\', at + 1)) {
    CreateDirectoryW(longPath.substr(0, at).c_str(), nullptr);
  }
  const HANDLE file = CreateFileW(longPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

// A junction `link` to the folder `target`, the way mklink /J makes one; false where the
// file system takes no junction (Wine).
bool MakeJunction(const std::wstring& link, const std::wstring& target) {
  if (!CreateDirectoryW(link.c_str(), nullptr))
    return false;
  const HANDLE handle =
      CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  const std::wstring substitute = L"\\??\\" + target;
  const std::size_t bytes = (substitute.size() + 1) * sizeof(wchar_t);
  // REPARSE_DATA_BUFFER's mount point form: tag, data length, 2 reserved bytes, offset and
  // length of the substitute name, then of the print name (empty), the names.
  std::string buffer(16 + bytes + sizeof(wchar_t), '\0');
  const auto put16 = [&](std::size_t at, std::size_t value) {
    buffer[at] = static_cast<char>(value & 0xFF);
    buffer[at + 1] = static_cast<char>(value >> 8);
  };
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  buffer.replace(0, 4, reinterpret_cast<const char*>(&tag), 4);
  put16(4, buffer.size() - 8);
  put16(10, bytes - sizeof(wchar_t));
  put16(12, bytes);
  buffer.replace(16, bytes - sizeof(wchar_t), reinterpret_cast<const char*>(substitute.data()),
                 bytes - sizeof(wchar_t));
  DWORD returned = 0;
  const BOOL made =
      DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(),
                      static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
  CloseHandle(handle);
  if (!made)
    RemoveDirectoryW(link.c_str());
  return made != FALSE;
}

// The client program, which every package must hold.
constexpr wchar_t kClient[] = L"Korvel互动.exe";

struct PackRow {
  const char* name;
  // The folder to pack: one the build made, or one the row makes below `scratch`; empty
  // when this Windows cannot make it.
  std::wstring (*folder)(const std::wstring& scratch);
  const wchar_t* command;  // manifest, payload (into the folder's parent) or build
  DWORD exitCode;
  const char* said;  // in what setup_pack.exe prints, UTF-8
  // For build: the installer the host packager made of the same folder, to equal.
  const wchar_t* hostBuilt;
  std::wstring options = {};  // after the command's own arguments
};

// A Windows path of the build's.
std::wstring Backslashed(std::wstring path) {
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

std::ostream& operator<<(std::ostream& out, const PackRow& row) {
  return out << row.name;
}

const PackRow kRows[] = {
    {"ChineseNamesInTheFolderAndItsArgument",
     [](const std::wstring& scratch) {
       MakeFile(scratch + L"包装\\说明\\读我.txt", "读我");
       MakeFile(scratch + L"包装\\" + kClient, "client");
       return scratch + L"包装";
     },
     L"manifest", 0, "说明\\读我.txt", nullptr},
    {"PathsOverMaxPathAreReadAndWritten",
     [](const std::wstring& scratch) {
       const std::wstring folder = scratch + std::wstring(100, L'长') + L"\\" +
                                   std::wstring(100, L'b') + L"\\" + std::wstring(80, L'c');
       MakeFile(folder + L"\\说明.txt", "long");
       MakeFile(folder + L"\\" + kClient, "client");
       return folder;
     },
     L"payload", 0, "2 files", nullptr},
    {"LinkToAFolderInsideIsFollowed",
     [](const std::wstring&) { return std::wstring(SETUP_PACK_LINKS_W L"\\inside"); }, L"manifest",
     0, "j\\f.txt", nullptr},
    {"LinkOutsideIsRefused",
     [](const std::wstring&) { return std::wstring(SETUP_PACK_LINKS_W L"\\outside"); }, L"manifest",
     1, "leads outside the folder being packed", nullptr},
    {"LinkLoopIsRefused",
     [](const std::wstring&) { return std::wstring(SETUP_PACK_LINKS_W L"\\loop"); }, L"manifest", 1,
     "symbolic-link loop", nullptr},
    {"JunctionOutsideIsRefused",
     [](const std::wstring& scratch) {
       MakeFile(scratch + L"junction\\x.txt", "x");
       wchar_t windows[MAX_PATH];
       GetWindowsDirectoryW(windows, MAX_PATH);
       return MakeJunction(scratch + L"junction\\system", windows) ? scratch + L"junction"
                                                                   : std::wstring();
     },
     L"manifest", 1, "leads outside the folder being packed", nullptr},
    {"SameInstallerAsTheHostPackagerWithChineseNames",
     [](const std::wstring&) { return std::wstring(SETUP_SAMPLE_PAYLOAD_W); }, L"build", 0,
     "6 files", SETUP_HOST_BUILT_SAMPLE_W},
    {"SameInstallerAsTheHostPackagerThroughLinks",
     [](const std::wstring&) { return std::wstring(SETUP_PACK_LINKS_W L"\\inside"); }, L"build", 0,
     "4 files", SETUP_HOST_BUILT_LINKS_W},
    {"SameReleaseAsTheHostPackager",
     [](const std::wstring&) { return std::wstring(SETUP_SAMPLE_PAYLOAD_W); }, L"build", 0,
     "6 files", SETUP_HOST_BUILT_RELEASE_W, L"--product-version 2.5.1"},
    // The signing command runs through cmd on the uninstaller and on the installer, each
    // named last: here it puts a signed installer in their place, which is what comes out.
    {"SigningCommandRunsOnBothPrograms",
     [](const std::wstring&) { return std::wstring(SETUP_SAMPLE_PAYLOAD_W); }, L"build", 0,
     "6 files", SETUP_SIGNED_INSTALLER_W,
     L"--sign \"cmd /c copy /y \\\"" + Backslashed(SETUP_SIGNED_INSTALLER_W) + L"\\\"\""},
    {"SigningCommandThatFailsStopsTheBuild",
     [](const std::wstring&) { return std::wstring(SETUP_SAMPLE_PAYLOAD_W); }, L"build", 1,
     "exited with status 3 on 'uninstall.exe'", nullptr, L"--sign \"cmd /c exit 3\""},
};

class PackWin : public testing::TestWithParam<PackRow> {};

TEST_P(PackWin, Row) {
  const PackRow& row = GetParam();
  const std::wstring scratch = Scratch();
  RemoveTree(L"\\\\?\\" + scratch);
  ASSERT_TRUE(CreateDirectoryW(scratch.c_str(), nullptr));
  const std::wstring folder = row.folder(scratch);
  if (folder.empty())
    GTEST_SKIP() << "this Windows cannot make the folder (Wine makes no junction)";

  std::wstring arguments = std::wstring(row.command) + L" ";
  const std::wstring built = scratch + L"built.exe";
  if (row.command == std::wstring(L"build"))
    arguments += L"\"" SETUP_STUB_W L"\" \"" + folder + L"\" \"" + built + L"\"";
  else if (row.command == std::wstring(L"payload"))
    arguments += L"\"" + folder + L"\" -o \"" + folder + L"\\..\\payload.deflate\"";
  else
    arguments += L"\"" + folder + L"\"";
  arguments += L" " + row.options;

  // What it prints, both streams, into one file.
  const std::wstring output = scratch + L"output.txt";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE sink = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(sink, INVALID_HANDLE_VALUE);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = sink;
  startup.hStdError = sink;
  PROCESS_INFORMATION process{};
  std::wstring command = L"\"" SETUP_PACK_EXE_W L"\" " + arguments;
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                             &startup, &process));
  CloseHandle(sink);
  DWORD code = STILL_ACTIVE;
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 120000), WAIT_OBJECT_0);
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);

  const std::string said = ReadBytes(output);
  EXPECT_EQ(code, row.exitCode) << said;
  EXPECT_NE(said.find(row.said), std::string::npos) << said;
  if (row.hostBuilt != nullptr) {
    const std::string mine = ReadBytes(built);
    EXPECT_FALSE(mine.empty());
    EXPECT_TRUE(mine == ReadBytes(row.hostBuilt)) << "setup_pack.exe made other bytes";
  } else {
    EXPECT_EQ(GetFileAttributesW(built.c_str()), INVALID_FILE_ATTRIBUTES);
  }
  RemoveTree(L"\\\\?\\" + scratch);
}

INSTANTIATE_TEST_SUITE_P(Rows, PackWin, testing::ValuesIn(kRows), [](const auto& row) {
  return std::string(row.param.name);
});

}  // namespace
