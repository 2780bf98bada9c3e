// Under Windows (Wine) the install worker writes the payload this program carries, reports
// to a window in protocol order, registers the component, writes the channel file from this
// program's own name (setup_portal_77.exe) and a manifest whose bytes are exactly the
// expected ones in code page 936, and keeps the manifest true when stopped or failing. What
// it makes gets the program folder's rights, and it never writes through a link. Every
// command line the installer builds splits back into the arguments meant, and a path is
// judged inside a folder by its text in any letter case.
#include <windows.h>
// after windows.h
#include <aclapi.h>
#include <objbase.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "core/package/Utf8.h"
#include "core/product/Product.h"
#include "installer/flow/Finishing.h"
#include "tests/win/worker_harness.h"
#include "win/base/Paths.h"
#include "win/install/AdminObjects.h"
#include "win/install/ChannelInfo.h"
#include "win/install/CommandLine.h"
#include "win/install/Directories.h"
#include "win/install/FolderRights.h"
#include "win/install/HeldFolder.h"
#include "win/install/InstallWorker.h"
#include "win/install/PagedResource.h"
#include "win/install/Registration.h"
#include "win/install/Shortcuts.h"
#include "win/install/Win32InstallFiles.h"

namespace {

// The manifest of the demo payload, in code page 936, written out by hand.
const std::string kDemoManifest =
    "[InstallFileInfo]\r\n"
    "FILE0=RudodeData\\Spread.ini\r\n"
    "FILE1=Emotions\\\xbe\xad\xb5\xe4\\\xb4\xf3\xd0\xa6.gif\r\n"
    "FILE2=Emotions\\\xbe\xad\xb5\xe4\\\xce\xa2\xd0\xa6.gif\r\n"
    "FILE3=ImageOle.dll\r\n"
    "FILE4=Korvel\xbb\xa5\xb6\xaf.exe\r\n"
    "FILE5=Skin\\UserIcon\\Level\\Level01.png\r\n"
    "FILE6=config.ini\r\n"
    "FILE7=readme.txt\r\n"
    "FILE8=web\\IconHelp\\images\\step1.png\r\n"
    "FILE9=web\\IconHelp\\index.htm\r\n"
    "[InstallDirectoryInfo]\r\n"
    "DIRECTORY0=web\\IconHelp\\images\r\n"
    "DIRECTORY1=web\\IconHelp\r\n"
    "DIRECTORY2=web\r\n"
    "DIRECTORY3=Skin\\UserIcon\\Level\r\n"
    "DIRECTORY4=Skin\\UserIcon\r\n"
    "DIRECTORY5=Skin\r\n"
    "DIRECTORY6=RudodeData\r\n"
    "DIRECTORY7=Emotions\\\xbe\xad\xb5\xe4\r\n"
    "DIRECTORY8=Emotions\r\n";

const wchar_t* const kDemoFiles[] = {L"Emotions\\经典\\大笑.gif",
                                     L"Emotions\\经典\\微笑.gif",
                                     L"ImageOle.dll",
                                     L"Korvel互动.exe",
                                     L"Skin\\UserIcon\\Level\\Level01.png",
                                     L"config.ini",
                                     L"readme.txt",
                                     L"web\\IconHelp\\images\\step1.png",
                                     L"web\\IconHelp\\index.htm"};

// The folder's name holds what the command interpreter would split or expand outside
// quotes: the registration command must still reach the component.
TEST(InstallWorker, CompleteRunOfTheDemoPayload) {
  RegDeleteTreeW(HKEY_CLASSES_ROOT, L"CLSID\\{6A1F3E2B-7C4D-4E59-9B1A-2D3C4B5A6978}");
  const std::wstring folder = FreshFolder(L"complete a&b^c (x) 互动");
  InstallWorker worker;
  const std::vector<Report> reports = RunWorker(worker, folder);

  ASSERT_GE(reports.size(), 3u);
  EXPECT_EQ(reports.front().code, INSTALL_PREPARING);
  EXPECT_EQ(reports.back().code, INSTALL_COMPLETE);
  // Progress comes when the percentage changes (or the page's timer would show a stale
  // file): the files it names are the payload's, in order, the first one among them.
  EXPECT_LE(reports.size(), 2 + std::size(kDemoFiles));
  EXPECT_EQ(reports[1].code, 0);
  EXPECT_EQ(reports[1].path, folder + kDemoFiles[0]);
  std::size_t next = 0;
  for (std::size_t i = 1; i + 1 < reports.size(); ++i) {
    while (next < std::size(kDemoFiles) && reports[i].path != folder + kDemoFiles[next])
      ++next;
    EXPECT_LT(next, std::size(kDemoFiles)) << "not a payload file in order: " << i;
    if (i > 1) {
      EXPECT_GE(reports[i].code, reports[i - 1].code);
    }
  }
  for (const wchar_t* file : kDemoFiles) {
    EXPECT_EQ(ReadBytes(folder + file),
              ReadBytes(std::wstring(SETUP_DEMO_PAYLOAD_W) + L"\\" + file))
        << "file differs";
  }
  EXPECT_EQ(ReadBytes(folder + L"uninstall.ini"), kDemoManifest);
  EXPECT_EQ(ReadBytes(folder + L"RudodeData\\Spread.ini"),
            "[SpreadInfo]\r\nSpreadPlat=portal\r\nSubDetailInfo=77\r\n");
  EXPECT_TRUE(Exists(folder + L"uninstall.exe"));
  EXPECT_EQ(CompareStringOrdinal(RegisteredServer().c_str(), -1, (folder + L"imageOle.dll").c_str(),
                                 -1, TRUE),
            CSTR_EQUAL)
      << "registered: " << std::string(RegisteredServer().begin(), RegisteredServer().end());
  EXPECT_TRUE(worker.Outcome().listsWritten);
}

TEST(InstallWorker, StopRequestedBeforeTheRunIsKept) {
  const std::wstring folder = FreshFolder(L"stopped-early");
  InstallWorker worker;
  worker.Stop();
  const std::vector<Report> reports = RunWorker(worker, folder);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].code, INSTALL_PREPARING);
  EXPECT_FALSE(Exists(folder + L"ImageOle.dll"));
  EXPECT_EQ(ReadBytes(folder + L"uninstall.ini"),
            "[InstallFileInfo]\r\nFILE0=RudodeData\\Spread.ini\r\n"
            "[InstallDirectoryInfo]\r\nDIRECTORY0=RudodeData\r\n");
}

// Paused before it starts, the worker parks after its first record; the stop then ends the
// run there, and the manifest lists exactly that file.
TEST(InstallWorker, StopDuringExtractionListsExactlyWhatWasWritten) {
  const std::wstring folder = FreshFolder(L"stopped");
  InstallWorker worker;
  worker.Pause();
  const std::vector<Report> reports =
      RunWorker(worker, folder, [](InstallWorker& w, const Report& r) {
        if (r.code >= 0 && r.code < INSTALL_COMPLETE)
          w.Stop();
      });
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1].path, folder + kDemoFiles[0]);
  EXPECT_TRUE(Exists(folder + kDemoFiles[0]));
  EXPECT_FALSE(Exists(folder + kDemoFiles[1]));
  EXPECT_EQ(ReadBytes(folder + L"uninstall.ini"),
            "[InstallFileInfo]\r\nFILE0=RudodeData\\Spread.ini\r\n"
            "FILE1=Emotions\\\xbe\xad\xb5\xe4\\\xb4\xf3\xd0\xa6.gif\r\n"
            "[InstallDirectoryInfo]\r\nDIRECTORY0=RudodeData\r\n"
            "DIRECTORY1=Emotions\\\xbe\xad\xb5\xe4\r\nDIRECTORY2=Emotions\r\n");
}

// A target file held open elsewhere without sharing cannot be moved aside: the run ends
// there with its full path and leaves the file alone. The manifest, a journal, names it
// among the files kept (that line comes before the attempt) and not among those written;
// the outcome, from which the run is removed again, lists only what came before it.
// (A read-only attribute cannot stand in here: Wine run as root writes through it.)
TEST(InstallWorker, LockedTargetEndsTheRunWithItsPath) {
  const std::wstring folder = FreshFolder(L"locked");
  const std::wstring blocked = folder + L"config.ini";
  std::ofstream(blocked.c_str()) << "user's own";
  HANDLE lock = CreateFileW(blocked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  InstallWorker worker;
  const std::vector<Report> reports = RunWorker(worker, folder);
  CloseHandle(lock);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().code, INSTALL_CREATE_FAILED);
  EXPECT_EQ(reports.back().path, blocked);
  EXPECT_EQ(ReadBytes(blocked), "user's own");
  EXPECT_FALSE(Exists(folder + L"readme.txt"));
  const std::string manifest = ReadBytes(folder + L"uninstall.ini");
  EXPECT_NE(manifest.find("FILE5=Skin\\UserIcon\\Level\\Level01.png\r\nKEPT0=config.ini\r\n"
                          "[InstallDirectoryInfo]"),
            std::string::npos)
      << manifest;
  EXPECT_EQ(worker.Outcome().installedFiles.back(), u"Skin\\UserIcon\\Level\\Level01.png");
}

// A full disk (drive F:, the small tmpfs the harness mounts) is reported with the path of
// the file that did not fit, and nothing outside the folder is touched.
TEST(InstallWorker, FullDiskIsReportedWithThePath) {
  ASSERT_EQ(NoSmallDisk(), "");
  const std::wstring folder = FreshFolder(L"full", L"F:\\");
  InstallWorker worker;
  const std::vector<Report> reports = RunWorker(worker, folder);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().code, INSTALL_CREATE_FAILED);
  EXPECT_EQ(reports.back().path.rfind(folder, 0), 0u);
  WIN32_FIND_DATAW data;  // nothing beside the install folder on the disk
  HANDLE find = FindFirstFileW(L"F:\\*", &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  do {
    const std::wstring name = data.cFileName;
    EXPECT_TRUE(name == L"." || name == L".." || name == L"full");
  } while (FindNextFileW(find, &data));
  FindClose(find);
  RemoveTree(folder);  // the small disk is the journeys' too
  EXPECT_FALSE(Exists(folder));
}

struct NoReports : InstallReports {
  std::vector<int> codes;
  void Report(int code, const std::u16string*) override { codes.push_back(code); }
};
struct AlwaysRunning : InstallControl {
  bool Running() override { return true; }
  void SafePoint() override {}
};

// The real files of a run fed a damaged payload stream: refused with nothing written.
TEST(InstallWorker, DamagedPayloadWritesNothing) {
  const std::wstring folder = FreshFolder(L"damaged");
  std::uint32_t uninstallerSize = 0, payloadSize = 0;
  const std::uint8_t* uninstaller = LoadFileResource(nullptr, 139, &uninstallerSize);
  const std::uint8_t* payload = LoadFileResource(nullptr, 137, &payloadSize);
  ASSERT_NE(uninstaller, nullptr);
  ASSERT_NE(payload, nullptr);
  const std::u16string target(reinterpret_cast<const char16_t*>(folder.c_str()));
  Win32InstallFiles files(target);
  NoReports reports;
  AlwaysRunning control;
  RunInstallation(target, {uninstaller, uninstallerSize, payload, payloadSize / 2}, files, reports,
                  control);
  EXPECT_EQ(reports.codes, (std::vector<int>{INSTALL_PREPARING, INSTALL_PACKAGE_UNREADABLE}));
  std::vector<std::wstring> left;
  ListFiles(folder, L"", &left);
  EXPECT_TRUE(left.empty());
  EXPECT_FALSE(Exists(folder + L"RudodeData"));
}

// A link planted in an existing target folder - to a folder or to a file elsewhere - is
// never written through: the run ends at that path and the place it points at is unchanged.
TEST(InstallWorker, LinksInTheTargetAreNeverWrittenThrough) {
  struct Case {
    const wchar_t* link;
    const char* target;
    const wchar_t* refused;
  };
  const Case cases[] = {
      {L"Skin", "../elsewhere", L"Skin\\UserIcon\\Level\\Level01.png"},
      {L"config.ini", "../elsewhere/victim.ini", L"config.ini"},  // Wine shows no reparse point
  };
  for (const Case& c : cases) {
    // A folder per case: Wine cannot remove a host link to a folder (a later run replaces
    // it), and deletes the target of one to a file, so the target is made afterwards.
    const std::wstring folder = FreshFolder((std::wstring(L"linked-") + c.link).c_str());
    const std::wstring elsewhere = FreshFolder(L"elsewhere");
    WriteBytes(elsewhere + L"victim.ini", "keep");
    ASSERT_TRUE(PlantHostLink(folder + c.link, c.target)) << c.link;
    InstallWorker worker;
    const std::vector<Report> reports = RunWorker(worker, folder);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().code, INSTALL_CREATE_FAILED);
    EXPECT_EQ(reports.back().path, folder + c.refused);
    std::vector<std::wstring> there;
    ListFiles(elsewhere, L"", &there);
    EXPECT_EQ(there, std::vector<std::wstring>{L"victim.ini"});
    EXPECT_EQ(ReadBytes(elsewhere + L"victim.ini"), "keep");
  }
}

// In a folder that a user made before - holding the user's config.ini, which the package
// also carries, a sub-folder of the package's and a note of the user's own - everything the
// worker makes gets the program folder's rights, and so do the folders it writes into, which
// were the user's: nobody else can change them afterwards. The user's config.ini is moved
// aside, not overwritten; the note is not touched. The descriptors passed are read back as
// text: that is what real Windows stores.
TEST(InstallWorker, WhatItMakesGetsTheProgramFolderRights) {
  const std::wstring folder = FreshFolder(L"rights");
  WriteBytes(folder + L"config.ini", "the user's settings");
  WriteBytes(folder + L"Skin\\users-own.txt", "made with the inherited rights");
  InstallWorker worker;
  ASSERT_EQ(RunWorker(worker, folder).back().code, INSTALL_COMPLETE);
  EXPECT_EQ(ReadBytes(folder + L"uninstall.kept\\0"), "the user's settings");
  EXPECT_EQ(ReadBytes(folder + L"config.ini"),
            ReadBytes(std::wstring(SETUP_DEMO_PAYLOAD_W) + L"\\config.ini"));
  EXPECT_NE(ReadBytes(folder + L"uninstall.ini").find("KEPT0=config.ini\r\nFILE6=config.ini\r\n"),
            std::string::npos);
  EXPECT_TRUE(EveryoneMay(folder + L"Skin\\users-own.txt"));
  for (const wchar_t* made : {L"", L"Skin", L"uninstall.exe", L"uninstall.ini", L"uninstall.kept",
                              L"RudodeData", L"RudodeData\\Spread.ini", L"Skin\\UserIcon\\Level",
                              L"Korvel互动.exe", L"Emotions\\经典\\大笑.gif"}) {
    EXPECT_FALSE(EveryoneMay(folder + made)) << made;
  }
  const ProtectedRights& rights = ProtectedRights::Get();
  for (const auto& [attributes, expected] :
       {std::pair{rights.Folder(), L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"},
        std::pair{rights.ExistingFolder(),
                  L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"},
        std::pair{rights.File(), L"D:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)"}}) {
    ASSERT_NE(attributes, nullptr);
    wchar_t* text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
        attributes->lpSecurityDescriptor, SDDL_REVISION_1,
        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr));
    EXPECT_STREQ(text, expected);
    LocalFree(text);
  }
  // Only what administrators alone can have changed is an installation's own - read back
  // from what the worker protected, from a folder anyone may write (Wine shows that much of
  // a folder's rights), and from the descriptors Windows would store.
  HeldFolder held;
  EXPECT_EQ(HoldExistingFolder(folder, &held), FolderTrust::kOwn);
  const std::wstring open = FreshFolder(L"rights open");
  ASSERT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(open.c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);  // no list: everyone may do anything
  EXPECT_EQ(HoldExistingFolder(open, &held), FolderTrust::kForeign);
  EXPECT_EQ(HoldExistingFolder(folder + L"no such\\", &held), FolderTrust::kMissing);
  // As an install folder, one anyone may change (and may hold open with that right, which a
  // handle keeps) is replaced by a folder made here when empty, refused when it holds files,
  // and a folder below it, which anyone could move away, is refused.
  const std::wstring shared = FreshFolder(L"rights shared");
  WriteBytes(shared + L"note.txt", "someone's");
  ASSERT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(shared.c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  for (const auto& [path, expected] : {std::pair{open + L"below\\", FolderOpening::kMovable},
                                       std::pair{shared, FolderOpening::kOthersMayChange},
                                       std::pair{open, FolderOpening::kOpened}}) {
    HeldFolder opened;
    EXPECT_EQ(OpenInstallFolder(path, &opened), expected)
        << Utf16ToUtf8(std::u16string(path.begin(), path.end()));
  }
  EXPECT_FALSE(Exists(open + L"below"));
  EXPECT_EQ(ReadBytes(shared + L"note.txt"), "someone's");
  EXPECT_FALSE(EveryoneMay(open));
  InstallWorker onShared;
  EXPECT_EQ(RunWorker(onShared, shared).back().code, INSTALL_CREATE_FAILED);
  EXPECT_FALSE(Exists(shared + L"uninstall.ini"));
  PSID user = nullptr;
  ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-21-1-2-3-1001", &user));
  for (const auto& [sddl, own, alsoTrusted] :
       {std::tuple{L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", true, false},
        std::tuple{L"O:SYD:PAI(A;;FA;;;SY)(A;OICIIO;FA;;;CO)(D;;FA;;;WD)(A;;0x1200a9;;;BU)", true,
                   false},
        std::tuple{L"O:BAD:PAI(A;;FA;;;BA)(A;;0x1301bf;;;BU)", false, false},
        std::tuple{L"O:BAD:PAI(A;;FA;;;BA)(A;OICIIO;GW;;;WD)", false, false},
        std::tuple{L"O:S-1-5-21-1-2-3-1001D:PAI(A;;FA;;;SY)(A;;FA;;;BA)", false, false},
        std::tuple{L"O:S-1-5-21-1-2-3-1001D:PAI(A;;FA;;;S-1-5-21-1-2-3-1001)", true, true},
        std::tuple{L"O:BA", false, false}}) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    EXPECT_EQ(OnlyAdministratorsMayChange(descriptor, alsoTrusted ? user : nullptr), own) << sddl;
    LocalFree(descriptor);
  }
  LocalFree(user);
}

// --- finishing actions ------------------------------------------------------------------

std::wstring LinkTarget(const std::wstring& path, std::wstring* workingFolder) {
  IShellLinkW* link = nullptr;
  IPersistFile* file = nullptr;
  std::wstring target;
  if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                 reinterpret_cast<void**>(&link))) &&
      SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
      SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
    wchar_t buffer[MAX_PATH] = {};
    link->GetPath(buffer, MAX_PATH, nullptr, SLGP_RAWPATH);
    target = buffer;
    link->GetWorkingDirectory(buffer, MAX_PATH);
    *workingFolder = buffer;
  }
  if (file != nullptr)
    file->Release();
  if (link != nullptr)
    link->Release();
  return target;
}

std::wstring EntryString(const wchar_t* name) {
  wchar_t value[512] = {};
  DWORD size = sizeof value;
  RegGetValueW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath, name, RRF_RT_REG_SZ, nullptr, value,
               &size);
  return value;
}

DWORD EntryNumber(const wchar_t* name) {
  DWORD value = 0;
  DWORD size = sizeof value;
  RegGetValueW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath, name, RRF_RT_REG_DWORD, nullptr,
               &value, &size);
  return value;
}

// Whether the log at `path` has a line holding `text`.
bool Logged(const std::wstring& path, const std::wstring& text) {
  return ReadBytes(path).find(Utf16ToUtf8(std::u16string(text.begin(), text.end()))) !=
         std::string::npos;
}

// The process that owns the desktop's taskbar, once Wine's explorer.exe has made it (a
// moment after a program first asks for the desktop); 0 when none appears.
DWORD TaskbarProcess() {
  DWORD process = 0;
  WaitUntil(
      [&] {
        const HWND taskbar = FindWindowW(L"Shell_TrayWnd", nullptr);
        return taskbar != nullptr && GetWindowThreadProcessId(taskbar, &process) != 0;
      },
      10000);
  return process;
}

// The client runs with the desktop shell's token (under Wine the taskbar's explorer.exe),
// never with the installer's own.
TEST(Finishing, EveryChoiceMakesItsShortcutStartsTheClientAndWritesTheEntry) {
  CoInitialize(nullptr);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath);
  const std::wstring folder = FreshFolder(L"finish");
  InstallWorker worker;
  ASSERT_EQ(RunWorker(worker, folder).back().code, INSTALL_COMPLETE);
  const std::wstring stale = ShortcutPath(CSIDL_COMMON_DESKTOPDIRECTORY, L"Korvel互动.lnk");
  WriteBytes(stale, "not a link");  // an existing shortcut is replaced
  const DWORD shell = TaskbarProcess();
  ASSERT_NE(shell, 0u) << "no taskbar";

  const std::wstring logPath = FreshFolder(L"finish log") + L"finish.log";
  {
    SetupLog log;
    DWORD error = 0;
    ASSERT_TRUE(log.Open(logPath, &error));
    FinishInstallation(folder, {true, true, true}, log);
    ASSERT_TRUE(WriteUninstallEntry(
        UninstallEntryValues(folder, worker.Outcome().installedBytes, {L"1.0.0", 1, 0}, L"", {}),
        log));
  }
  EXPECT_TRUE(Logged(logPath, L"started " + ClientCommandLine(folder) +
                                  L" as the signed-in user (the token of process " +
                                  std::to_wstring(shell) + L")"));

  const std::wstring client = folder + L"Korvel互动.exe";
  struct Link {
    int csidl;
    const wchar_t* name;
    std::wstring target;
  };
  for (const Link& l :
       {Link{CSIDL_STARTUP, L"Korvel互动.lnk", client},
        Link{CSIDL_COMMON_DESKTOPDIRECTORY, L"Korvel互动.lnk", client},
        Link{CSIDL_COMMON_PROGRAMS, L"brimvale\\Korvel互动.lnk", client},
        Link{CSIDL_COMMON_PROGRAMS, L"brimvale\\uninstall.lnk", folder + L"uninstall.exe"}}) {
    std::wstring working;
    EXPECT_EQ(LinkTarget(ShortcutPath(l.csidl, l.name), &working), l.target);
    EXPECT_EQ(working + L"\\", folder);
  }
  EXPECT_EQ(EntryString(L"DisplayName"), L"Korvel视频安装版");
  EXPECT_EQ(EntryString(L"Publisher"), L"Korvel互动娱乐");
  EXPECT_EQ(EntryString(L"UninstallString"), L"\"" + folder + L"uninstall.exe\"");
  EXPECT_EQ(EntryString(L"QuietUninstallString"), L"\"" + folder + L"uninstall.exe\" -silent");
  EXPECT_EQ(EntryString(L"InstallLocation") + L"\\", folder);
  EXPECT_EQ(EntryString(L"DisplayVersion"), L"1.0.0");
  EXPECT_EQ(EntryNumber(L"EstimatedSize"), (worker.Outcome().installedBytes + 1023) / 1024);
  EXPECT_GT(EntryNumber(L"EstimatedSize"), 0u);
  EXPECT_EQ(EntryNumber(L"NoModify"), 1u);

  HWND window = nullptr;
  WaitUntil([&] { return (window = FindWindowW(L"ZephlinHallFrameWindow_Brimvale", nullptr)); },
            10000);
  ASSERT_NE(window, nullptr) << "the client did not start";
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  PostMessageW(window, WM_CLOSE, 0, 0);
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process != nullptr) {
    WaitForSingleObject(process, 10000);
    CloseHandle(process);
  }
  CoUninitialize();
}

// A service's or session 0's desktop has no shell whose token the client could take: it is
// not started - not with the installer's own token either - and the log says why.
TEST(Finishing, ClientIsNotStartedOnADesktopWithoutAShell) {
  const std::wstring folder = FreshFolder(L"finish without shell");
  ASSERT_TRUE(CopyFileW((std::wstring(SETUP_DEMO_PAYLOAD_W) + L"\\Korvel互动.exe").c_str(),
                        (folder + L"Korvel互动.exe").c_str(), FALSE));
  const std::wstring logPath = folder + L"finish.log";
  bool startable = true;
  DesktopWithoutShell desktop;
  ASSERT_TRUE(desktop.Run([&] {
    SetupLog log;
    DWORD error = 0;
    log.Open(logPath, &error);
    startable = CanStartClientAsUser(log);
    FinishInstallation(folder, {false, true, false}, log);
  }));
  EXPECT_FALSE(startable);
  const std::wstring why = L"this desktop has no shell window and no taskbar";
  EXPECT_TRUE(Logged(logPath, L"the client cannot be started now: " + why));
  EXPECT_TRUE(Logged(logPath, L"did not start " + ClientCommandLine(folder) + L": " + why));
  EXPECT_FALSE(Logged(logPath, L"started " + ClientCommandLine(folder)));
}

TEST(Finishing, NoChoicesWritesOnlyTheEntry) {
  CoInitialize(nullptr);
  for (const auto& [csidl, name] :
       {std::pair{CSIDL_STARTUP, L"Korvel互动.lnk"},
        std::pair{CSIDL_COMMON_DESKTOPDIRECTORY, L"Korvel互动.lnk"},
        std::pair{CSIDL_COMMON_PROGRAMS, L"brimvale\\Korvel互动.lnk"}}) {
    DeleteShortcut(csidl, name);
  }
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath);
  SetupLog noLog;
  FinishInstallation(L"D:\\worker\\none\\", {}, noLog);
  WriteUninstallEntry(UninstallEntryValues(L"D:\\worker\\none\\", 0, {L"1.0.0", 1, 0}, L"", {}),
                      noLog);
  EXPECT_FALSE(Exists(ShortcutPath(CSIDL_STARTUP, L"Korvel互动.lnk")));
  EXPECT_FALSE(Exists(ShortcutPath(CSIDL_COMMON_DESKTOPDIRECTORY, L"Korvel互动.lnk")));
  EXPECT_EQ(EntryString(L"UninstallString"), L"\"D:\\worker\\none\\uninstall.exe\"");
  EXPECT_EQ(FindWindowW(L"ZephlinHallFrameWindow_Brimvale", nullptr), nullptr);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath, 0, KEY_WRITE, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(WriteStringValue(key, L"Nothing", nullptr), ERROR_INVALID_DATA);
  RegCloseKey(key);
  CoUninitialize();
}

// --- folders, channel file, registration command ------------------------------------------

TEST(EnsureDirectories, CreatesAlongThePath) {
  const std::wstring root = FreshFolder(L"dirs");
  EXPECT_TRUE(EnsureDirectories(L"no-separator"));
  EXPECT_TRUE(EnsureDirectories((root + L"Apps\\Video\\").c_str()));
  EXPECT_TRUE(Exists(root + L"Apps\\Video"));
  EXPECT_TRUE(EnsureDirectories((root + L"A\\B\\x.dat").c_str()));
  EXPECT_TRUE(Exists(root + L"A\\B"));
  EXPECT_FALSE(Exists(root + L"A\\B\\x.dat"));
  EXPECT_TRUE(EnsureDirectories((root + L"Apps\\Video\\").c_str()));
  EXPECT_FALSE(EnsureDirectories(L"\\network\\share\\x\\"));
  // A network path is made below its root \\server\share\ (the test prefix maps one).
  const std::wstring share = L"\\\\setup-host\\share\\";
  RemoveTree(share + L"dirs\\");
  EXPECT_TRUE(EnsureDirectories((share + L"dirs\\Apps\\x.dat").c_str()));
  EXPECT_TRUE(Exists(share + L"dirs\\Apps"));
  EXPECT_FALSE(EnsureDirectories(L"\\\\setup-host\\no-share\\x\\"));
  EXPECT_FALSE(EnsureDirectories(L"Q:\\no\\such\\drive\\"));
  EXPECT_FALSE(EnsureDirectories((root + std::wstring(250, L'a') + L"\\").c_str()));
  std::ofstream((root + L"file").c_str()) << "x";
  EXPECT_FALSE(EnsureDirectories((root + L"file\\sub\\").c_str()));
}

// Every "lies inside" check of both programs (a process's image in the install folder, an
// entry below the folder a removal holds, the folders made above the install folder): the
// text alone, in any letter case, a folder's final '\' not counted.
TEST(Paths, WithinAndBelowAFolder) {
  struct Case {
    const wchar_t* path;
    const wchar_t* folder;
    bool within;
    bool below;
  };
  for (const Case& c : std::initializer_list<Case>{
           {L"D:\\Apps\\Korvel\\a.exe", L"D:\\Apps\\Korvel\\", true, true},
           {L"d:\\APPS\\korvel\\sub\\a.exe", L"D:\\Apps\\Korvel", true, true},
           {L"D:\\Apps\\Korvel", L"D:\\Apps\\Korvel\\", true, false},
           {L"D:\\Apps\\Korvel\\", L"D:\\Apps\\Korvel", true, false},
           {L"D:\\Apps\\Korvel2\\a.exe", L"D:\\Apps\\Korvel\\", false, false},
           {L"D:\\Apps\\Korvel2", L"D:\\Apps\\Korvel", false, false},
           {L"D:\\Apps", L"D:\\Apps\\Korvel\\", false, false},
           {L"D:\\a.exe", L"D:\\", true, true},
           {L"D:", L"D:\\", true, false},
           {L"\\\\host\\share\\x", L"\\\\host\\share\\", true, true},
           {L"D:\\Apps\\Korvel\\a.exe", L"", false, false},
           {L"D:\\Apps\\Korvel\\a.exe", L"\\", false, false},
           {L"D:\\Äpps\\a.exe", L"D:\\äpps", true, true}}) {
    EXPECT_EQ(PathWithin(c.path, c.folder), c.within) << c.path << L" in " << c.folder;
    EXPECT_EQ(PathBelow(c.path, c.folder), c.below) << c.path << L" below " << c.folder;
  }
}

TEST(ChannelInfo, WrittenForEveryExampleName) {
  struct Case {
    const wchar_t* name;
    const char* expected;
  };
  const Case cases[] = {
      {L"D:\\Downloads\\setup_portal_77.exe", "SpreadPlat=portal\r\nSubDetailInfo=77\r\n"},
      {L"D:\\Downloads\\setup.exe", "SpreadPlat=\r\nSubDetailInfo=\r\n"},
      {L"D:\\Downloads\\setup_portal.exe", "SpreadPlat=portal.exe\r\nSubDetailInfo=\r\n"},
      {L"D:\\Downloads\\setup_portal_77.2.exe", "SpreadPlat=portal\r\nSubDetailInfo=77\r\n"},
      {L"D:\\my_files\\setup_portal_77.exe",
       "SpreadPlat=files\\setup\r\nSubDetailInfo=portal_77\r\n"},
      {L"D:\\Downloads\\setup__77.exe", "SpreadPlat=\r\nSubDetailInfo=\r\n"},
  };
  for (const Case& c : cases) {
    const std::wstring folder = FreshFolder(L"channel");
    WriteChannelInfo(folder.c_str(), c.name);
    EXPECT_EQ(ReadBytes(folder + L"RudodeData\\Spread.ini"),
              std::string("[SpreadInfo]\r\n") + c.expected);
  }
}

// A command line as the started program splits it (Windows' own rules).
std::vector<std::wstring> Split(const std::wstring& command) {
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(command.c_str(), &count);
  std::vector<std::wstring> split(arguments, arguments + (arguments != nullptr ? count : 0));
  LocalFree(arguments);
  return split;
}

// Wine re-quotes what it passes on, so running a child proves nothing about its command
// line: every one the installer builds is split with Windows' rules instead, for folders
// with blanks, '&', '^', parentheses and Chinese letters. The registration's interpreter is
// the system's own, whatever %ComSpec% - which the user may set - names.
TEST(CommandLines, SplitIntoTheArgumentsMeant) {
  const EnvironmentVariables planted(EnvironmentVariables::Values{
      {L"ComSpec", L"C:\\Users\\John Smith\\AppData\\Local\\Temp\\cmd.exe"}});
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring shell = std::wstring(system) + L"\\cmd.exe";
  using Arguments = std::vector<std::wstring>;
  for (const std::wstring folder :
       {L"D:\\brimvale\\", L"C:\\Program Files\\brimvale\\", L"D:\\a&b\\(x86) ^c\\互动 视频\\",
        L"C:\\Users\\John Smith\\AppData\\Local\\Temp\\", L"D:\\100% sure\\"}) {
    const std::wstring uninstaller = folder + L"uninstall.exe";
    EXPECT_EQ(Split(ClientCommandLine(folder)), Arguments{folder + L"Korvel互动.exe"});
    EXPECT_EQ(Split(UninstallerCommandLine(folder, false)), Arguments{uninstaller});
    EXPECT_EQ(Split(UninstallerCommandLine(folder, true)), (Arguments{uninstaller, L"-silent"}));
    EXPECT_EQ(Split(RegistrationCommand(folder.c_str(), Registration::kUnregister)),
              (Arguments{std::wstring(system) + L"\\regsvr32.exe", L"/u", L"/s",
                         folder + L"imageOle.dll"}));
    if (folder.find(L'%') != std::wstring::npos) {
      // '%' would expand inside cmd /c even between quotes: no command at all.
      EXPECT_EQ(RegistrationCommand(folder.c_str()), L"");
    } else {
      EXPECT_EQ(Split(RegistrationCommand(folder.c_str())),
                (Arguments{shell, L"/d", L"/c", L"RegSvr32", L"/s", folder + L"imageOle.dll"}));
    }
  }
}

// The registration's own result decides: a component that cannot register fails, and one
// whose registration does not end is ended at the time limit - RegSvr32 with it, not just
// the interpreter that started it. An interpreter that could not start RegSvr32 (9009)
// gets one more try; any other failure does not.
TEST(Registration, FailureAndHangAreReported) {
  const std::wstring broken = FreshFolder(L"broken component");
  WriteBytes(broken + L"imageOle.dll", "not a DLL");
  EXPECT_EQ(RegisterComponent(broken.c_str(), 30000), RegistrationResult::kFailed);

  // An interpreter that ends with these codes, in the place of the system's.
  const std::wstring runs = broken + L"runs.txt";
  const std::wstring command = RegistrationCommand(broken.c_str());
  const std::wstring standIn =
      QuoteArgument(SETUP_SLOW_PROGRAM_W) + command.substr(command.find(L" /c RegSvr32 "));
  for (const auto& [exitCode, tries] : {std::pair{L"9009", 2u}, std::pair{L"1", 1u}}) {
    DeleteFileW(runs.c_str());
    const EnvironmentVariables interpreter(
        {{L"SETUP_SLOW_MS", L"0"}, {L"SETUP_SLOW_EXIT", exitCode}, {L"SETUP_SLOW_RUNS", runs}});
    EXPECT_EQ(RunRegistration(standIn, 30000), RegistrationResult::kFailed);
    const std::string lines = ReadBytes(runs);
    EXPECT_EQ(static_cast<unsigned>(std::count(lines.begin(), lines.end(), '\n')), tries);
  }

  const std::wstring hung = FreshFolder(L"hung component");
  ASSERT_TRUE(CopyFileW(SETUP_HUNG_COMPONENT_W, (hung + L"imageOle.dll").c_str(), FALSE));
  EXPECT_EQ(RegisterComponent(hung.c_str(), 3000), RegistrationResult::kHung);
  // The component holds its mutex until its thread ends: a wait on it returns then.
  if (const HANDLE held = OpenMutexW(SYNCHRONIZE, FALSE, L"SetupHungRegistration")) {
    EXPECT_NE(WaitForSingleObject(held, 5000), WAIT_TIMEOUT) << "RegSvr32 still runs";
    CloseHandle(held);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
