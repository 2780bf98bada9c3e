#include "uninstaller/UninstallApp.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstring>
#include <optional>
#include <string>

#include "core/install/Journal.h"
#include "core/package/PayloadPackage.h"
#include "core/product/Product.h"
#include "core/text/NumberText.h"
#include "uninstaller/RemoveInstallation.h"
#include "uninstaller/SelfRemoval.h"
#include "win/base/Paths.h"
#include "win/base/Text.h"
#include "win/base/UniqueHandle.h"
#include "win/install/AdminObjects.h"
#include "win/install/ProgramVersion.h"
#include "win/install/Removal.h"
#include "win/install/SetupLog.h"

namespace {

using namespace product;

// An installer runs (it holds its mutex, which Administrators own) and did not grant this
// uninstaller its run: removing files under a running installation would leave it with an
// uninstall entry pointing at nothing.
bool InstallerRunning() {
  if (GrantedByInstaller())
    return false;
  const UniqueHandle mutex(OpenMutexW(SYNCHRONIZE | READ_CONTROL, FALSE, kMutexName));
  return mutex.valid() && OwnedByAdministrators(mutex.get());
}

// An upgrade that has not ended (a killed installer) names its journal in the entry. In this
// installation's own folder a removal takes what it set aside too; one that goes from or to
// another folder is the next installer's to end - a removal now would take the entry and
// leave the other folder's half without one.
bool UpgradeElsewhereUnfinished() {
  const std::wstring folder = ModuleFolder();
  wchar_t value[kMaxFullPathUnits + 2] = {};
  DWORD bytes = sizeof value - sizeof(wchar_t);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kUninstallKeyPath, kJournalValue, RRF_RT_REG_SZ, nullptr,
                   value, &bytes) != ERROR_SUCCESS) {
    return false;
  }
  if (!SamePath(value, folder))
    return true;
  const UniqueHandle file(CreateFileW((folder + kAsideFolder + L"\\journal").c_str(), GENERIC_READ,
                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  std::string text(64 << 10, '\0');
  DWORD read = 0;
  Journal journal;
  if (!file.valid() ||
      !ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr)) {
    return false;  // nothing aside to speak of: this folder's removal takes it
  }
  text.resize(read);
  return ParseJournal(text, &journal) && !journal.target.empty() &&
         !SamePath(Wide(journal.target), folder);
}

void InitControls() {
  // Loaded from the system folder by full search rule, never from beside the program.
  HMODULE comctl = LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (comctl == nullptr)
    return;
  using Init = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  const auto init = reinterpret_cast<Init>(
      reinterpret_cast<void*>(GetProcAddress(comctl, "InitCommonControlsEx")));
  if (init != nullptr) {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
    init(&controls);
  }
}

// What the command line asks for.
struct Arguments {
  bool interactive = false;  // no argument, or /LOG= alone
  bool silent = false;
  bool cleanUp = false;  // the clean-up helper's form: its first argument is kCleanUpSwitch
  std::wstring log;      // /LOG='s file, made absolute
};

// No argument: ask, remove, report. "-silent" byte for byte, as the entry's
// QuietUninstallString writes it, or what other uninstallers take (/S, /SILENT, /VERYSILENT,
// in any letter case), with /NORESTART or /SUPPRESSMSGBOXES or not (there is no box then,
// and no restart ever): remove without a word. /LOG=file with either. Anything else is
// nothing this program does.
std::optional<Arguments> ReadArguments() {
  int count = 0;
  LPWSTR* const argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (argv == nullptr)
    return std::nullopt;
  Arguments arguments;
  bool known = true;
  bool quiet = false;  // /NORESTART or /SUPPRESSMSGBOXES: only with a silent switch
  if (count >= 2 && std::wcscmp(argv[1], kCleanUpSwitch) == 0) {
    arguments.cleanUp = true;
  } else {
    for (int i = 1; i < count && known; ++i) {
      const wchar_t* const a = argv[i];
      if (std::wcscmp(a, L"-silent") == 0 || lstrcmpiW(a, L"/S") == 0 ||
          lstrcmpiW(a, L"/SILENT") == 0 || lstrcmpiW(a, L"/VERYSILENT") == 0) {
        arguments.silent = true;
      } else if (lstrcmpiW(a, L"/NORESTART") == 0 || lstrcmpiW(a, L"/SUPPRESSMSGBOXES") == 0) {
        quiet = true;
      } else if (lstrlenW(a) > 5 && CompareStringOrdinal(a, 5, L"/LOG=", 5, TRUE) == CSTR_EQUAL &&
                 arguments.log.empty()) {
        arguments.log = FullPath(a + 5);
        known = !arguments.log.empty();
      } else {
        known = false;
      }
    }
    arguments.interactive = !arguments.silent && !quiet;
  }
  LocalFree(argv);
  if (!known)
    return std::nullopt;
  return arguments;
}

// The removal the arguments ask for, after the checks that stop every mode: its exit code.
int Remove(const std::optional<Arguments>& arguments, bool dllsConfined, SetupLog& log) {
  if (!arguments || !(arguments->interactive || arguments->silent))
    return kExitUsage;
  const bool silent = arguments->silent;
  if (!dllsConfined) {
    if (!silent)
      Message(ToCodePage(kSystemUnsupported), MB_OK);
    return kExitSystemUnsupported;
  }
  InitControls();
  if (FindWindowA(ToCodePage(kClientWindowClass).c_str(), nullptr) != nullptr) {
    if (!silent)
      Message(ToCodePage(kClientRunning), MB_OK);
    return kExitClientRunning;
  }
  if (InstallerRunning() || UpgradeElsewhereUnfinished()) {
    if (!silent)
      Message(ToCodePage(kInstallerRunning), MB_OK);
    return kExitInstallerRunning;
  }
  if (!silent && Message(ToCodePage(kConfirmRemoval), MB_YESNO) != IDYES)
    return kExitCancelled;
  return RemoveInstallation(silent, log);
}

}  // namespace

bool CUninstallApp::InitInstance() {
  const std::optional<Arguments> arguments = ReadArguments();
  if (arguments && arguments->cleanUp) {
    // the clean-up helper, with or without the folder the installation made
    if (!CleanUp(GetCommandLineW()))
      exitCode_ = kExitUsage;
    return false;
  }
  // A silent run always logs: without /LOG=, to a file of its own in the temporary folder.
  // One that cannot be made does not stop the removal; a /LOG= that cannot does.
  // When the /LOG= file cannot be made, the dated default log says why.
  SetupLog log;
  DWORD error = 0;
  const bool logRefused = arguments && !arguments->log.empty() && !log.Open(arguments->log, &error);
  if (logRefused || (arguments && arguments->silent && arguments->log.empty())) {
    DWORD unused = 0;
    log.Open(DefaultLogPath(L"uninstall"), &unused);
  }
  log.Line(L"start: " + ModulePath() + L", version " + ThisProgramVersion().text);
  log.Line(std::wstring(L"command line: ") + GetCommandLineW());
  if (logRefused) {
    log.Line(WithError(L"the log " + arguments->log + L" could not be made", error));
    if (arguments->interactive)
      Message(ToCodePage(WithError(L"无法创建日志文件：" + arguments->log, error)), MB_OK);
    exitCode_ = kExitUsage;
  } else {
    exitCode_ = Remove(arguments, dllsConfined_, log);
  }
  log.Line(L"result: " + DecimalText<wchar_t>(exitCode_) + L", " + UninstallExitMeaning(exitCode_));
  return false;
}
