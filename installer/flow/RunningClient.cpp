#include "installer/flow/RunningClient.h"

#include <windows.h>
// after windows.h
#include <tlhelp32.h>

#include <algorithm>
#include <cwchar>

#include "core/package/PayloadPackage.h"
#include "core/product/Product.h"
#include "core/text/NumberText.h"
#include "win/base/Paths.h"
#include "win/base/UniqueHandle.h"

namespace {

// How long programs asked to close may take before they are ended.
constexpr DWORD kCloseWaitMs = 8000;

// How process `pid` uses `folder` (ending with '\\'): its program lies there, or it loaded a
// module from it (the component, say).
enum class Use { kNone, kProgram, kModule };
Use UseOfFolder(DWORD pid, const std::wstring& folder) {
  const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  wchar_t image[kMaxFullPathUnits + 1] = {};
  DWORD size = kMaxFullPathUnits;
  if (process.valid() && QueryFullProcessImageNameW(process.get(), 0, image, &size) &&
      PathBelow(image, folder)) {
    return Use::kProgram;
  }
  const UniqueHandle modules(
      CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, pid));
  MODULEENTRY32W module{};
  module.dwSize = sizeof module;
  for (bool more = modules.valid() && Module32FirstW(modules.get(), &module); more;
       more = Module32NextW(modules.get(), &module) != FALSE) {
    if (PathBelow(module.szExePath, folder))
      return Use::kModule;
  }
  return Use::kNone;
}

BOOL CALLBACK AddClientWindow(HWND window, LPARAM found) {
  wchar_t name[64] = {};
  DWORD pid = 0;
  auto& pids = *reinterpret_cast<std::vector<DWORD>*>(found);
  if (GetClassNameW(window, name, 64) && std::wcscmp(name, product::kClientWindowClass) == 0 &&
      GetWindowThreadProcessId(window, &pid) &&
      std::find(pids.begin(), pids.end(), pid) == pids.end()) {
    pids.push_back(pid);
  }
  return TRUE;
}

BOOL CALLBACK CloseWindowsOf(HWND window, LPARAM found) {
  const auto& pids = *reinterpret_cast<const std::vector<DWORD>*>(found);
  DWORD pid = 0;
  if (GetWindowThreadProcessId(window, &pid) &&
      std::find(pids.begin(), pids.end(), pid) != pids.end()) {
    PostMessageW(window, WM_CLOSE, 0, 0);
  }
  return TRUE;
}

}  // namespace

ClientProcesses FindClientProcesses(const std::wstring& folder) {
  ClientProcesses found;
  const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (bool more = !folder.empty() && snapshot.valid() && Process32FirstW(snapshot.get(), &entry);
       more; more = Process32NextW(snapshot.get(), &entry) != FALSE) {
    const DWORD pid = entry.th32ProcessID;
    if (pid == 0 || pid == GetCurrentProcessId())
      continue;
    const Use use = UseOfFolder(pid, folder);
    if (use == Use::kProgram)
      found.programs.push_back(pid);
    else if (use == Use::kModule)
      found.modules.emplace_back(pid, entry.szExeFile);
  }
  EnumWindows(AddClientWindow, reinterpret_cast<LPARAM>(&found.programs));
  std::erase_if(found.modules, [&found](const std::pair<DWORD, std::wstring>& module) {
    return std::find(found.programs.begin(), found.programs.end(), module.first) !=
           found.programs.end();
  });
  return found;
}

Stop CloseClient(const ClientProcesses& found, Interaction& interaction) {
  // Asked to close first, as their user would close them; what is still there after a while
  // is ended.
  std::vector<std::pair<DWORD, UniqueHandle>> processes;
  for (const DWORD pid : found.programs)
    processes.emplace_back(pid, OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
  EnumWindows(CloseWindowsOf, reinterpret_cast<LPARAM>(&found.programs));
  const ULONGLONG deadline = GetTickCount64() + kCloseWaitMs;
  bool allEnded = true;
  for (auto& [pid, process] : processes) {
    const ULONGLONG now = GetTickCount64();
    const bool closed =
        process.valid() &&
        interaction.Wait(process.get(), now < deadline ? static_cast<DWORD>(deadline - now) : 0,
                         product::kClosingClient) == WAIT_OBJECT_0;
    const bool ended =
        closed || (process.valid() && TerminateProcess(process.get(), 0) &&
                   interaction.Wait(process.get(), 5000, product::kClosingClient) == WAIT_OBJECT_0);
    const DWORD error = GetLastError();
    const std::wstring which = L"process " + DecimalText<wchar_t>(pid);
    if (closed)
      interaction.Log().Line(which + L" closed when asked");
    else if (ended)
      interaction.Log().Line(L"ended " + which);
    else
      interaction.Log().Line(WithError(which + L" could not be ended", error));
    allEnded = allEnded && ended;
  }
  if (!allEnded) {
    interaction.Tell(L"终止程序失败，请尝试手动关闭");
    return SetupExit::kClientNotEnded;
  }
  return {};
}
