#include "installer/flow/Finishing.h"

// after windows.h
#include <objbase.h>
#include <shlobj.h>

#include "core/product/Product.h"
#include "core/text/NumberText.h"
#include "win/base/Owners.h"
#include "win/base/Text.h"
#include "win/install/CommandLine.h"
#include "win/install/Directories.h"
#include "win/install/Shortcuts.h"

namespace {

using namespace product;

void ReplaceShortcut(int csidl,
                     const wchar_t* name,
                     const std::wstring& target,
                     const wchar_t* description,
                     SetupLog& log) {
  DeleteShortcut(csidl, name);
  const bool made = CreateShortcut(csidl, name, target.c_str(), description);
  log.Line(L"shortcut " + ShortcutPath(csidl, name) + (made ? L": made" : L": could not be made"));
}

// The signed-in user's token, taken from the desktop's shell, or why it could not be.
struct UserToken {
  UniqueHandle token;  // a primary token that may start a program; invalid on failure
  DWORD shellProcess = 0;
  std::wstring failure;  // empty exactly when `token` is valid
};

// The process that owns this thread's desktop's shell window (Explorer on Windows) or, when
// there is none, its taskbar (Wine's explorer.exe makes only the taskbar); 0 when the
// desktop has neither: a service's or session 0's desktop, or one made for a program.
DWORD DesktopShellProcess() {
  HWND shell = GetShellWindow();
  if (shell == nullptr)
    shell = FindWindowW(L"Shell_TrayWnd", nullptr);
  DWORD process = 0;
  if (shell != nullptr)
    GetWindowThreadProcessId(shell, &process);
  return process;
}

// The token of the desktop shell's process, duplicated as a primary token. Any program of
// the signed-in user may register a shell window or a taskbar; its token is then that
// user's own or a more restricted one, never more than the user has, which is what the
// client may run with. This program's own (elevated) token is never the answer.
UserToken DesktopUserToken() {
  UserToken user;
  user.shellProcess = DesktopShellProcess();
  if (user.shellProcess == 0) {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    user.failure = L"this desktop has no shell window and no taskbar (session " +
                   DecimalText<wchar_t>(session) + L")";
    return user;
  }
  const std::wstring shell = L"the shell's process " + DecimalText<wchar_t>(user.shellProcess);
  const UniqueHandle process(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, user.shellProcess));
  if (!process.valid()) {
    const DWORD error = GetLastError();
    user.failure = WithError(shell + L" could not be opened", error);
    return user;
  }
  HANDLE opened = nullptr;
  if (!OpenProcessToken(process.get(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY,
                        &opened)) {
    const DWORD error = GetLastError();
    user.failure = WithError(L"the token of " + shell + L" could not be opened", error);
    return user;
  }
  const UniqueHandle shellToken(opened);
  // What CreateProcessWithTokenW needs of its token (query, duplicate, assign primary), and
  // adjusting its default rights and session, which starting a program with it may do.
  constexpr DWORD kPrimaryRights = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY |
                                   TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID;
  HANDLE primary = nullptr;
  if (!DuplicateTokenEx(shellToken.get(), kPrimaryRights, nullptr, SecurityImpersonation,
                        TokenPrimary, &primary)) {
    const DWORD error = GetLastError();
    user.failure = WithError(L"the token of " + shell + L" could not be duplicated", error);
    return user;
  }
  user.token.reset(primary);
  return user;
}

// Whether this process runs as the system account (a deployment tool's service).
bool RunningAsSystem() {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened))
    return false;
  const UniqueHandle token(opened);
  alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
  DWORD size = 0;
  return GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size) &&
         IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, WinLocalSystemSid);
}

void StartClient(const std::wstring& folder, SetupLog& log) {
  std::wstring command = ClientCommandLine(folder);
  const UserToken user = DesktopUserToken();
  if (!user.token.valid()) {
    log.Line(L"did not start " + command + L": " + user.failure);
    return;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION started{};
  // No environment given: the new process gets one made from the user's profile.
  if (CreateProcessWithTokenW(user.token.get(), 0, nullptr, command.data(), 0, nullptr,
                              folder.c_str(), &startup, &started)) {
    const ProcessHandles client(started);
    log.Line(L"started " + command + L" as the signed-in user (the token of process " +
             DecimalText<wchar_t>(user.shellProcess) + L")");
  } else {
    const DWORD error = GetLastError();
    log.Line(WithError(L"could not start " + command + L" as the signed-in user", error));
  }
}

// The product's shortcuts: where each lies, and which finish-page choice makes it.
struct ProductShortcut {
  int csidl;
  const wchar_t* name;
  bool FinishChoices::*choice;
};
constexpr ProductShortcut kShortcuts[] = {
    {CSIDL_STARTUP, kClientShortcut, &FinishChoices::autoStart},
    {CSIDL_COMMON_STARTUP, kClientShortcut, &FinishChoices::autoStart},
    {CSIDL_COMMON_DESKTOPDIRECTORY, kClientShortcut, &FinishChoices::createShortcuts},
    {CSIDL_COMMON_PROGRAMS, kMenuClientShortcut, &FinishChoices::createShortcuts},
    {CSIDL_COMMON_PROGRAMS, kMenuUninstallShortcut, &FinishChoices::createShortcuts}};

}  // namespace

bool CreateShortcut(int csidl,
                    const wchar_t* name,
                    const wchar_t* target,
                    const wchar_t* description) {
  const std::wstring path = ShortcutPath(csidl, name);
  if (path.empty())
    return false;
  ComPtr<IShellLinkW> link;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              link.put_void()))) {
    return false;
  }
  ComPtr<IPersistFile> file;
  if (FAILED(link->QueryInterface(IID_IPersistFile, file.put_void()))) {
    return false;
  }
  if (FAILED(link->SetPath(target)))
    return false;
  const std::wstring targetPath = target;
  const std::size_t cut = targetPath.rfind(L'\\');
  if (cut != std::wstring::npos)
    link->SetWorkingDirectory(targetPath.substr(0, cut).c_str());
  if (description != nullptr)
    link->SetDescription(description);
  EnsureDirectories(path.c_str());
  return file->Save(path.c_str(), FALSE) == S_OK;
}

LONG WriteStringValue(HKEY key, const wchar_t* name, const wchar_t* text) {
  if (text == nullptr)
    return ERROR_INVALID_DATA;
  const auto bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
}

bool CanStartClientAsUser(SetupLog& log) {
  const UserToken user = DesktopUserToken();
  if (!user.token.valid())
    log.Line(L"the client cannot be started now: " + user.failure);
  return user.token.valid();
}

std::vector<EntryValue> UninstallEntryValues(const std::wstring& folder,
                                             std::uint64_t installedBytes,
                                             const ProgramVersion& version,
                                             const std::wstring& madeFolder,
                                             std::vector<std::uint8_t> stamps) {
  const auto text = [](const wchar_t* name, const std::wstring& value) {
    return EntryValue::Text(Utf16(name), Utf16(value));
  };
  std::wstring location = folder;
  if (location.size() > 3 && location.back() == L'\\')
    location.pop_back();
  std::wstring made = madeFolder;
  if (made.size() > 3 && made.back() == L'\\')
    made.pop_back();
  const std::uint64_t kilobytes = (installedBytes + 1023) / 1024;
  SYSTEMTIME today{};
  GetLocalTime(&today);
  wchar_t date[16] = {};
  wsprintfW(date, L"%04u%02u%02u", today.wYear, today.wMonth, today.wDay);
  return {text(L"DisplayName", kDisplayName),
          text(L"Publisher", kPublisher),
          text(L"UninstallString", UninstallerCommandLine(folder, false)),
          text(L"QuietUninstallString", UninstallerCommandLine(folder, true)),
          text(L"DisplayIcon", folder + kClientFile),
          text(L"DisplayVersion", version.text),
          text(L"InstallLocation", location),
          EntryValue::Number(u"EstimatedSize", kilobytes > 0xffffffffu
                                                   ? 0xffffffffu
                                                   : static_cast<std::uint32_t>(kilobytes)),
          EntryValue::Number(u"NoModify", 1),
          EntryValue::Number(u"NoRepair", 1),
          EntryValue::Number(u"VersionMajor", version.major),
          EntryValue::Number(u"VersionMinor", version.minor),
          text(L"InstallDate", date),
          text(L"URLInfoAbout", kAboutUrl),
          text(L"HelpLink", kHelpUrl),
          made.empty() ? EntryValue::Absent(Utf16(kCreatedFolderValue))
                       : text(kCreatedFolderValue, made),
          EntryValue::Bytes(Utf16(kFileStampsValue), std::move(stamps))};
}

bool WriteUninstallEntry(const std::vector<EntryValue>& values, SetupLog& log) {
  const std::wstring where = std::wstring(L"HKEY_LOCAL_MACHINE\\") + kUninstallKeyPath;
  RegKey key;
  LONG result =
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstallKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_READ | KEY_WRITE, nullptr, key.put(), nullptr);
  for (auto value = values.begin(); result == ERROR_SUCCESS && value != values.end(); ++value) {
    const std::wstring name = Wide(value->name);
    switch (value->kind) {
      case EntryValue::Kind::kText:
        result = WriteStringValue(key.get(), name.c_str(), Wide(value->text).c_str());
        break;
      case EntryValue::Kind::kNumber:
        result = RegSetValueExW(key.get(), name.c_str(), 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&value->number), sizeof(DWORD));
        break;
      case EntryValue::Kind::kBytes:
        result = RegSetValueExW(key.get(), name.c_str(), 0, REG_BINARY, value->bytes.data(),
                                static_cast<DWORD>(value->bytes.size()));
        break;
      case EntryValue::Kind::kAbsent:
        result = RegDeleteValueW(key.get(), name.c_str());
        if (result == ERROR_FILE_NOT_FOUND)
          result = ERROR_SUCCESS;
        break;
    }
  }
  if (result != ERROR_SUCCESS) {
    log.Line(WithError(L"the uninstall entry " + where + L" could not be written",
                       static_cast<DWORD>(result)));
    return false;
  }
  log.Line(L"uninstall entry " + where);
  return true;
}

void FinishInstallation(const std::wstring& folder,
                        const FinishChoices& choices,
                        SetupLog& log,
                        bool replaced) {
  const std::wstring client = folder + kClientFile;
  const std::wstring uninstaller = folder + kUninstallerFile;
  // Under the system account (a deployment) the client is never started, and the Startup
  // shortcut is every user's.
  const bool system = RunningAsSystem();
  if (choices.autoStart) {
    ReplaceShortcut(system ? CSIDL_COMMON_STARTUP : CSIDL_STARTUP, kClientShortcut, client,
                    kClientDescription, log);
  }
  if (choices.runNow && system)
    log.Line(L"running as the system account: the client is not started");
  else if (choices.runNow)
    StartClient(folder, log);
  if (choices.createShortcuts) {
    ReplaceShortcut(CSIDL_COMMON_DESKTOPDIRECTORY, kClientShortcut, client, kClientDescription,
                    log);
    ReplaceShortcut(CSIDL_COMMON_PROGRAMS, kMenuClientShortcut, client, kClientDescription, log);
    ReplaceShortcut(CSIDL_COMMON_PROGRAMS, kMenuUninstallShortcut, uninstaller,
                    kUninstallDescription, log);
  }
  // The earlier installation's that the choices did not make again go, as after a removal.
  for (const ProductShortcut& shortcut : kShortcuts) {
    if (replaced && !(choices.*shortcut.choice) &&
        DeleteShortcut(shortcut.csidl, shortcut.name) == Removal::kGone)
      log.Line(L"deleted the earlier shortcut " + ShortcutPath(shortcut.csidl, shortcut.name));
  }
}

bool DeleteProductShortcuts() {
  bool gone = true;
  for (const ProductShortcut& shortcut : kShortcuts)
    gone = DeleteShortcut(shortcut.csidl, shortcut.name) != Removal::kFailed && gone;
  const std::wstring menu = ShortcutPath(CSIDL_COMMON_PROGRAMS, kFolderName);
  if (!menu.empty())
    RemoveDirectoryW(menu.c_str());
  return gone;
}
