#include "install/Registration.h"

#include "install/CommandLine.h"
#include "install/UniqueHandle.h"
#include "product/Product.h"

namespace {

std::wstring SystemFolder() {
  wchar_t folder[MAX_PATH];
  const UINT n = GetSystemDirectoryW(folder, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::wstring(folder, n) : std::wstring(L"C:\\Windows\\system32");
}

std::wstring Interpreter() {
  const DWORD needed = GetEnvironmentVariableW(L"ComSpec", nullptr, 0);
  if (needed > 1) {
    std::wstring value(needed, L'\0');
    const DWORD n = GetEnvironmentVariableW(L"ComSpec", value.data(), needed);
    if (n > 0 && n < needed) {
      value.resize(n);
      return value;
    }
  }
  return SystemFolder() + L"\\cmd.exe";
}

}  // namespace

std::wstring RegistrationCommand(const wchar_t* installFolder, Registration what) {
  const std::wstring folder = installFolder;
  if (folder.find(L'%') != std::wstring::npos)
    return {};
  return QuoteArgument(Interpreter()) +
         (what == Registration::kUnregister ? L" /c RegSvr32 /u /s " : L" /c RegSvr32 /s ") +
         QuoteArgument(folder + product::kComponentFile);
}

namespace {

// The interpreter's exit code when it could not start the command at all.
constexpr DWORD kCommandNotStarted = 9009;

struct Run {
  RegistrationResult result;
  DWORD code;
};

Run RunHidden(std::wstring command, DWORD timeLimitMs) {
  // The job ends RegSvr32 too when the interpreter is ended: ending cmd alone would leave
  // its child running. Where the installer already runs in a job that allows no other,
  // the command runs without one.
  const UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  if (job.valid()) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
  }
  const std::wstring folder = SystemFolder();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                      folder.c_str(), &startup, &started)) {
    return {RegistrationResult::kFailed, 1};
  }
  const UniqueHandle process(started.hProcess);
  const UniqueHandle thread(started.hThread);
  const bool inJob = job.valid() && AssignProcessToJobObject(job.get(), process.get());
  ResumeThread(thread.get());
  if (WaitForSingleObject(process.get(), timeLimitMs) != WAIT_OBJECT_0) {
    if (inJob)
      TerminateJobObject(job.get(), 1);
    else
      TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), 5000);
    return {RegistrationResult::kHung, STILL_ACTIVE};
  }
  DWORD code = 1;
  GetExitCodeProcess(process.get(), &code);
  return {code == 0 ? RegistrationResult::kRegistered : RegistrationResult::kFailed, code};
}

}  // namespace

RegistrationResult RegisterComponent(const wchar_t* installFolder,
                                     DWORD timeLimitMs,
                                     Registration what) {
  const std::wstring command = RegistrationCommand(installFolder, what);
  if (command.empty())
    return RegistrationResult::kFailed;
  const ULONGLONG start = GetTickCount64();
  Run run = RunHidden(command, timeLimitMs);
  // An interpreter that could not start RegSvr32 (a process the system failed to create
  // for the moment) gets one more try within the same limit; RegSvr32's own failure does
  // not.
  const ULONGLONG spent = GetTickCount64() - start;
  if (run.code == kCommandNotStarted && spent < timeLimitMs)
    run = RunHidden(command, static_cast<DWORD>(timeLimitMs - spent));
  return run.result;
}
