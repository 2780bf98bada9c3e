#include "installer/SetupWizardApp.h"

// after windows.h
#include <commctrl.h>
#include <ole2.h>

#include <optional>

#include "core/product/Product.h"
#include "core/setup/SetupOptions.h"
#include "core/text/NumberText.h"
#include "installer/SilentInstall.h"
#include "installer/flow/Interaction.h"
#include "installer/wizard/WizardDialog.h"
#include "win/base/Paths.h"
#include "win/base/Text.h"
#include "win/install/AdminObjects.h"
#include "win/install/ProgramVersion.h"
#include "win/install/SetupLog.h"
#include "win/integrity/IntegrityCheck.h"

namespace {

constexpr wchar_t kCaption[] = L"提示";

// The switches, for /? and for a command line that is refused.
std::wstring UsageText(const SetupOptions& options) {
  std::wstring text;
  if (options.error == SwitchError::kUnknown)
    text = L"无法识别的参数：" + Wide(options.offending) + L"\r\n\r\n";
  else if (options.error == SwitchError::kBadFolder)
    text = L"安装文件夹无效（须为完整路径）：" + Wide(options.offending) + L"\r\n\r\n";
  else if (options.error == SwitchError::kBadLog)
    text = L"日志文件无效：" + Wide(options.offending) + L"\r\n\r\n";
  return text + L"用法：" + ApplicationName() +
         L".exe [/S | /PASSIVE] [/LOG=日志文件] [/NORUN] [/NOSHORTCUTS] [/STARTUP] "
         L"[/NOCLOSEAPPLICATIONS] "
         L"[/D=安装文件夹]\r\n\r\n"
         L"/S\t静默安装，不显示任何窗口，结果见退出码（/VERYSILENT 同此）\r\n"
         L"/PASSIVE\t只显示安装进度，不提问（/SILENT 同此）\r\n"
         L"/D=\t安装文件夹，须为完整路径，放在最后；可含空格，无需引号\r\n"
         L"/LOG=\t把安装的每一步写入此文件（UTF-8）\r\n"
         L"/NORUN\t安装完成后不运行程序\r\n"
         L"/NOSHORTCUTS\t不创建桌面和开始菜单快捷方式\r\n"
         L"/STARTUP\t开机启动\r\n"
         L"/NOCLOSEAPPLICATIONS\t不关闭正在使用安装文件的程序；有这样的程序时不安装\r\n"
         L"/?\t显示本说明";
}

// The installer's whole run after the command line is read: what it ended with.
class Startup {
 public:
  Startup(const SetupOptions& options, HINSTANCE instance, bool dllsConfined)
      : options_(options), instance_(instance), dllsConfined_(dllsConfined) {}

  SetupExit Run() {
    if (!options_.log.empty() && !OpenLog())
      return Ended(SetupExit::kUsage);
    // Every run logs, the wizard's too, so that support may ask for it: without /LOG=, to a
    // file of its own in the temporary folder (the system's for a deployment under the
    // system account). One that cannot be made does not stop the installation.
    if (options_.log.empty())
      OpenDefaultLog();
    if (options_.error != SwitchError::kNone) {
      Say(UsageText(options_), false);
      return Ended(options_.error == SwitchError::kBadFolder ? SetupExit::kFolderRefused
                                                             : SetupExit::kUsage);
    }
    if (options_.help) {
      Say(UsageText(options_), false);
      return Ended(SetupExit::kUsage);
    }
    if (!dllsConfined_) {
      Say(product::kSystemUnsupported);
      return Ended(SetupExit::kSystemUnsupported);
    }
    // The file stays held to the end: nobody may write, rename or delete it meanwhile.
    if (!VerifyInstallerIntegrity(&self_)) {
      Say(L"安装程序自我完整性检测失败，请尝试重新下载");
      return Ended(SetupExit::kIntegrityFailed);
    }
    log_.Line(L"integrity check passed");
    if (const std::optional<SetupExit> stop = TakeMutex())
      return Ended(*stop);
    // COM on this thread, for the shortcuts of the finishing step; kept to the end.
    OleInitialize(nullptr);
    if (options_.silent)
      return Ended(InstallSilently(options_, log_));
    return Ended(RunWizard());
  }

 private:
  SetupExit RunWizard() {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    WizardDialog dialog(options_, log_);
    // The installation was committed as the finish page showed; 完成 adds what it chose.
    if (dialog.DoModal(instance_, IDD_WIZARD) == IDOK)
      dialog.Finish();
    return dialog.Exit();
  }

  // One atomic step: create, and learn from the error whether another installer had it.
  // The handle stays open until the process ends; that marks the installer as running. An
  // installer's mutex is owned by Administrators: one that a standard user made first, in
  // the global namespace anyone may name, is not an installer's and stops nothing.
  std::optional<SetupExit> TakeMutex() {
    mutex_.reset(CreateMutexW(const_cast<SECURITY_ATTRIBUTES*>(AdminObjectRights()), FALSE,
                              product::kMutexName));
    const DWORD error = GetLastError();
    if (mutex_.valid() && error == ERROR_ALREADY_EXISTS && OwnedByAdministrators(mutex_.get())) {
      Say(L"安装程序已经在运行");
      return SetupExit::kAlreadyRunning;
    }
    if (!mutex_.valid() && error != ERROR_ACCESS_DENIED) {
      log_.Line(WithError(L"the single-instance mutex could not be made", error));
      return SetupExit::kFatal;
    }
    if (!mutex_.valid() || error == ERROR_ALREADY_EXISTS)
      log_.Line(L"the single-instance mutex was made by a program that is not an installer");
    return std::nullopt;
  }

  // The /LOG= file. One that cannot be made stops the run, and the dated default log says
  // why, for support to ask for.
  bool OpenLog() {
    const std::wstring path = FullPath(Wide(options_.log));
    DWORD error = 0;
    if (log_.Open(path, &error)) {
      Started();
      return true;
    }
    OpenDefaultLog();
    log_.Line(WithError(L"the log " + path + L" could not be made", error));
    Say(WithError(L"无法创建日志文件：" + path, error));
    return false;
  }

  void OpenDefaultLog() {
    DWORD error = 0;
    log_.Open(DefaultLogPath(L"setup"), &error);
    Started();
  }

  void Started() {
    log_.Line(L"start: " + ModulePath() + L", version " + ThisProgramVersion().text);
    log_.Line(std::wstring(L"command line: ") + GetCommandLineW());
  }

  // Start-up's messages: a message box, and with /S the log alone. Progress only shows a
  // failure too, since a person watches (not with /SUPPRESSMSGBOXES), but not the usage
  // text: a command line it cannot read is a deployment tool's, which reads the exit code.
  void Say(const std::wstring& text, bool failure = true) {
    log_.Line(L"told: " + text);
    if (!options_.silent && (!options_.passive || (failure && !options_.noBoxes)))
      MessageBoxW(nullptr, text.c_str(), kCaption, MB_OK);
  }

  SetupExit Ended(SetupExit code) {
    log_.Line(L"result: " + DecimalText<wchar_t>(static_cast<int>(code)) + L", " +
              Wide(ExitMeaning(code)));
    return code;
  }

  const SetupOptions& options_;
  HINSTANCE instance_;
  bool dllsConfined_;
  SetupLog log_;
  UniqueHandle self_;   // the program's own file, checked
  UniqueHandle mutex_;  // held to the end: the mark of a running installer
};

}  // namespace

bool SetupWizardApp::InitInstance() {
  const SetupOptions options = ParseSetupOptions(Utf16(GetCommandLineW()));
  exitCode_ = static_cast<int>(Startup(options, instance_, dllsConfined_).Run());
  return false;
}

int RunInstaller(HINSTANCE instance, bool dllsConfined) {
  SetupWizardApp app;
  app.dllsConfined_ = dllsConfined;
  return app.Run(instance);
}
