#include "win/install/Registration.h"

#include <memory>
#include <new>

#include "core/package/PayloadPackage.h"
#include "core/product/Product.h"
#include "win/base/Owners.h"
#include "win/base/Paths.h"
#include "win/install/CommandLine.h"

namespace {

std::wstring SystemPrograms() {
  const std::wstring folder = SystemFolder();
  return folder.empty() ? std::wstring(L"C:\\Windows\\system32") : folder;
}

}  // namespace

std::wstring RegistrationCommand(const wchar_t* installFolder, Registration what) {
  const std::wstring folder = installFolder;
  const std::wstring component = QuoteArgument(folder + product::kComponentFile);
  if (what == Registration::kUnregister)
    return QuoteArgument(SystemPrograms() + L"\\regsvr32.exe") + L" /u /s " + component;
  if (folder.find(L'%') != std::wstring::npos)
    return {};
  // The system's own interpreter, never the one %ComSpec% names: this program runs elevated
  // with an environment its user may have set (HKCU\\Environment). /d: without the AutoRun
  // commands (HKCU\\Software\\Microsoft\\Command Processor), which its user may set too.
  return QuoteArgument(SystemPrograms() + L"\\cmd.exe") + L" /d /c RegSvr32 /s " + component;
}

namespace {

// The interpreter's exit code when it could not start the command at all.
constexpr DWORD kCommandNotStarted = 9009;

// PROC_THREAD_ATTRIBUTE_JOB_LIST (Windows 10), which the headers give only to programs made
// for Windows 10 and later.
constexpr DWORD_PTR kJobListAttribute = 13 | 0x00020000;

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
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
  startup.StartupInfo.wShowWindow = SW_HIDE;
  // The command is in the job from its creation where the system allows it (Windows 10 and
  // later): an installer ended between creating the command and assigning it to the job
  // would leave it suspended for ever. Elsewhere it is created suspended, then assigned.
  HANDLE jobs[] = {job.get()};
  SIZE_T bytes = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &bytes);
  std::unique_ptr<char[]> storage(new (std::nothrow) char[bytes]);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.get());
  const bool listed = job.valid() && storage != nullptr &&
                      InitializeProcThreadAttributeList(attributes, 1, 0, &bytes) != FALSE;
  if (listed) {
    if (UpdateProcThreadAttribute(attributes, 0, kJobListAttribute, jobs, sizeof jobs, nullptr,
                                  nullptr)) {
      startup.lpAttributeList = attributes;
    }
  }
  PROCESS_INFORMATION started{};
  bool created = startup.lpAttributeList != nullptr &&
                 CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE,
                                CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                folder.c_str(), &startup.StartupInfo, &started);
  const bool bornInJob = created;
  if (!created) {
    startup.StartupInfo.cb = sizeof startup.StartupInfo;
    created = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                             nullptr, folder.c_str(), &startup.StartupInfo, &started);
  }
  if (listed)
    DeleteProcThreadAttributeList(attributes);
  if (!created)
    return {RegistrationResult::kFailed, kCommandNotStarted};
  const ProcessHandles handles(started);
  const UniqueHandle& process = handles.process;
  const bool inJob =
      bornInJob || (job.valid() && AssignProcessToJobObject(job.get(), process.get()));
  ResumeThread(handles.thread.get());
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

RegistrationResult RunRegistration(const std::wstring& command, DWORD timeLimitMs) {
  if (command.empty())
    return RegistrationResult::kFailed;
  const ULONGLONG start = GetTickCount64();
  Run run = RunHidden(command, timeLimitMs);
  // A command that could not be started, or an interpreter that could not start RegSvr32 (a
  // process the system failed to create for the moment), gets one more try within the same
  // limit; RegSvr32's own failure does not.
  const ULONGLONG spent = GetTickCount64() - start;
  if (run.code == kCommandNotStarted && spent < timeLimitMs)
    run = RunHidden(command, static_cast<DWORD>(timeLimitMs - spent));
  return run.result;
}

RegistrationResult RegisterComponent(const wchar_t* installFolder,
                                     DWORD timeLimitMs,
                                     Registration what) {
  return RunRegistration(RegistrationCommand(installFolder, what), timeLimitMs);
}

namespace {

constexpr wchar_t kClasses[] = L"SOFTWARE\\Classes\\CLSID";

// Whether the server `value` (a path, perhaps quoted) lies in `folder`.
bool InFolder(std::wstring value, const std::wstring& folder, const std::wstring& shortFolder) {
  if (value.size() >= 2 && value.front() == L'"')
    value = value.substr(1, value.find(L'"', 1) - 1);
  return PathBelow(value, folder) || PathBelow(value, shortFolder);
}

}  // namespace

std::vector<RegisteredClass> ClassesServedFrom(const std::wstring& folder) {
  // A server may be registered by its short (8.3) path.
  std::wstring shortFolder(folder.size() + 1, L'\0');
  shortFolder.resize(GetShortPathNameW(folder.c_str(), shortFolder.data(),
                                       static_cast<DWORD>(shortFolder.size())));
  if (shortFolder.size() >= folder.size() + 1 || shortFolder == folder)
    shortFolder.clear();
  std::vector<RegisteredClass> found;
  for (const REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    RegKey classes;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClasses, 0, KEY_READ | view, classes.put()) !=
        ERROR_SUCCESS) {
      continue;
    }
    wchar_t id[64] = {};  // a class's name: "{" 36 digits "}", longer ones are no class
    for (DWORD i = 0;; ++i) {
      DWORD units = 64;
      const LSTATUS status =
          RegEnumKeyExW(classes.get(), i, id, &units, nullptr, nullptr, nullptr, nullptr);
      if (status == ERROR_MORE_DATA)
        continue;
      if (status != ERROR_SUCCESS)
        break;
      const std::wstring server = std::wstring(id) + L"\\InprocServer32";
      wchar_t value[kMaxFullPathUnits + 3] = {};
      DWORD bytes = sizeof value - sizeof(wchar_t);
      if (RegGetValueW(classes.get(), server.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value,
                       &bytes) == ERROR_SUCCESS &&
          InFolder(value, folder, shortFolder)) {
        found.push_back({id, view});
      }
    }
  }
  return found;
}

bool RemoveClassesServedFrom(const std::wstring& folder) {
  for (const RegisteredClass& registered : ClassesServedFrom(folder)) {
    RegKey classes;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClasses, 0, KEY_READ | KEY_WRITE | registered.view,
                      classes.put()) == ERROR_SUCCESS) {
      RegDeleteTreeW(classes.get(), registered.id.c_str());
    }
  }
  return ClassesServedFrom(folder).empty();
}
