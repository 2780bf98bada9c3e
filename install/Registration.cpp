#include "install/Registration.h"

#include <windows.h>

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

std::wstring RegistrationCommand(const wchar_t* installFolder) {
  return Interpreter() + L" /c RegSvr32 /s \"" + installFolder + L"imageOle.dll\"";
}

void RegisterComponent(const wchar_t* installFolder) {
  std::wstring command = RegistrationCommand(installFolder);
  const std::wstring folder = SystemFolder();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                      &startup, &process)) {
    return;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}
