#include "installer/flow/Interaction.h"

#include <windows.h>
// after windows.h
#include <tlhelp32.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <iterator>

#include "core/install/InstallFolder.h"
#include "core/install/InstallRun.h"
#include "core/product/Product.h"
#include "core/setup/NumberText.h"
#include "win/base/Paths.h"
#include "win/base/Text.h"
#include "win/install/HeldFolder.h"
#include "win/install/PagedResource.h"

namespace {

// "12.3 MB" or "1.2 GB".
std::wstring Size(std::uint64_t bytes) {
  if (bytes >= (std::uint64_t{1} << 30))
    return TenthsText<wchar_t>(bytes, 30) + L" GB";
  return TenthsText<wchar_t>(bytes, 20) + L" MB";
}

// Why a folder was refused: what the user is told, and what the log says.
struct Refusal {
  FolderOpening opening;
  const wchar_t* message;
  const wchar_t* reason;
};

const Refusal& RefusalOf(FolderOpening opening) {
  static constexpr Refusal kRefusals[] = {
      {FolderOpening::kLink, L"安装路径中含有链接，请选择其他文件夹",
       L"it, or a folder on its way, is a link or junction"},
      {FolderOpening::kSystemFolder, L"不能安装到磁盘根目录或系统文件夹，请选择其他文件夹",
       L"it is a volume's root or a system folder"},
      {FolderOpening::kCannotProtect, L"无法设置安装文件夹的访问权限，请选择其他文件夹",
       L"its rights or owner cannot be set"},
      {FolderOpening::kMovable, L"其他用户可以移走或替换安装路径上的文件夹，请选择其他文件夹",
       L"someone else may move it, or a folder on its way, away"},
      {FolderOpening::kOthersMayChange,
       L"其他用户可以更改此文件夹，且其中已有文件，请选择其他文件夹",
       L"someone else could change it, and it holds files"},
      // kCannotMake, and any other: last.
      {FolderOpening::kCannotMake, L"创建文件夹失败，请检查文件名是否正确",
       L"it, or a folder on its way, cannot be made"}};
  for (const Refusal& refusal : kRefusals) {
    if (refusal.opening == opening)
      return refusal;
  }
  return kRefusals[std::size(kRefusals) - 1];
}

// How long programs asked to close may take before they are ended.
constexpr DWORD kCloseWaitMs = 8000;

bool InFolder(const wchar_t* path, const std::wstring& folder) {
  return !folder.empty() && std::wcslen(path) > folder.size() &&
         CompareStringOrdinal(path, static_cast<int>(folder.size()), folder.c_str(),
                              static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL;
}

// How process `pid` uses `folder` (ending with '\\'): its program lies there, or it loaded a
// module from it (the component, say).
enum class Use { kNone, kProgram, kModule };
Use UseOfFolder(DWORD pid, const std::wstring& folder) {
  const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  wchar_t image[kMaxFullPathUnits + 1] = {};
  DWORD size = kMaxFullPathUnits;
  if (process.valid() && QueryFullProcessImageNameW(process.get(), 0, image, &size) &&
      InFolder(image, folder)) {
    return Use::kProgram;
  }
  const UniqueHandle modules(
      CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, pid));
  MODULEENTRY32W module{};
  module.dwSize = sizeof module;
  for (BOOL more = modules.valid() && Module32FirstW(modules.get(), &module); more;
       more = Module32NextW(modules.get(), &module)) {
    if (InFolder(module.szExePath, folder))
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

std::wstring ApplicationName() {
  std::wstring name = ModulePath();
  name = name.substr(name.find_last_of(L"\\/") + 1);
  const std::size_t dot = name.rfind(L'.');
  return dot == std::wstring::npos ? name : name.substr(0, dot);
}

ClientProcesses FindClientProcesses(const std::wstring& folder) {
  ClientProcesses found;
  const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = !folder.empty() && snapshot.valid() && Process32FirstW(snapshot.get(), &entry);
       more; more = Process32NextW(snapshot.get(), &entry)) {
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

FolderSuggestion SuggestTargetFolder() {
  std::wstring folder = std::wstring(L"X:\\") + product::kFolderName;
  wchar_t windows[256] = {};
  GetWindowsDirectoryW(windows, 256);
  folder[0] = windows[0];
  folder[1] = windows[1];
  wchar_t drives[256] = {};
  GetLogicalDriveStringsW(255, drives);
  std::wstring line = L"可用空间： ";
  bool choosing = true;
  for (const wchar_t* root = drives; *root != L'\0'; root += std::wcslen(root) + 1) {
    ULARGE_INTEGER available{}, total{}, free{};
    GetDiskFreeSpaceExW(root, &available, &total, &free);
    line += root[0];
    line += root[1];
    line += TenthsText<wchar_t>(free.QuadPart, 30) + L"G ";
    if (choosing && root[0] != folder[0]) {
      folder[0] = root[0];
      choosing = false;
    }
  }
  return {folder, line};
}

PackageFacts ReadPackageFacts(HMODULE module) {
  PackageFacts facts;
  std::uint32_t size = 0;
  const std::uint8_t* summary = LoadFileResource(module, 138, &size);
  facts.summarized = DecodePackageSummary(summary, size, &facts.summary);
  if (facts.summarized) {
    facts.check.recordIndex = facts.summary.records;
    facts.check.longestPath = facts.summary.longestPath;
    facts.check.dataBytes = facts.summary.dataBytes;
  }
  return facts;
}

SpaceEstimate EstimateSpace(const std::wstring& folder, const PackageFacts& package) {
  SpaceEstimate estimate;
  // The folder may not exist yet: its volume is that of the nearest folder above it.
  const std::wstring volume = VolumeOf(folder);
  if (volume.empty())
    return estimate;
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
  ULARGE_INTEGER available{}, total{}, free{};
  if (!GetDiskFreeSpaceExW(volume.c_str(), &available, &total, &free))
    return estimate;
  GetDiskFreeSpaceW(volume.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters);
  estimate.known = true;
  estimate.volume = volume;
  if (estimate.volume.size() > 2 && estimate.volume.back() == L'\\')
    estimate.volume.pop_back();
  estimate.available = available.QuadPart;
  estimate.needed =
      package.summary.SpaceNeeded(static_cast<std::uint64_t>(sectorsPerCluster) * bytesPerSector);
  return estimate;
}

std::wstring SpaceWarning(const SpaceEstimate& estimate) {
  return L"磁盘空间可能不足：" + estimate.volume + L" 需要 " + Size(estimate.needed) + L"，可用 " +
         Size(estimate.available) + L"。是否仍要继续安装？";
}

Stop CheckFolderRules(const std::wstring& typed,
                      const PackageFacts& package,
                      Interaction& interaction,
                      std::wstring* folder) {
  std::wstring trimmed = typed;
  while (!trimmed.empty() && trimmed.back() == L' ')
    trimmed.pop_back();
  bool blank = true;
  for (const wchar_t c : trimmed)
    blank = blank && std::iswspace(c);
  if (blank) {
    interaction.Log().Line(L"no install folder");
    interaction.Tell(L"创建文件夹失败，请检查文件名是否正确");
    return SetupExit::kFolderRefused;
  }
  // A relative folder is taken from the current folder, once, here.
  *folder = FullPath(trimmed);
  if (folder->back() != L'\\')
    *folder += L'\\';
  interaction.Log().Line(L"install folder " + *folder);
  const FolderVerdict verdict = CheckInstallFolder(Utf16(*folder), package.check.longestPath);
  if (verdict == FolderVerdict::kTooLong) {
    interaction.Tell(L"安装路径过长，请选择较短的文件夹");
    return SetupExit::kFolderRefused;
  }
  if (verdict == FolderVerdict::kPercent) {
    interaction.Tell(L"安装路径中不能含有字符%，请选择其他文件夹");
    return SetupExit::kFolderRefused;
  }
  if (!SpelledInCodePage(*folder)) {
    interaction.Tell(L"安装路径中含有当前系统语言无法表示的字符，请选择其他文件夹");
    return SetupExit::kFolderRefused;
  }
  return {};
}

Stop MakeInstallFolder(const std::wstring& folder,
                       const PackageFacts& package,
                       Interaction& interaction,
                       PreparedFolder* prepared) {
  // The estimate can be wrong (files overwritten, compressed or quota-limited volumes):
  // whoever runs the installer is warned, and decides.
  if (package.summarized) {
    const SpaceEstimate space = EstimateSpace(folder, package);
    if (space.known) {
      interaction.Log().Line(L"space: " + DecimalText<wchar_t>(space.needed) + L" bytes needed, " +
                             DecimalText<wchar_t>(space.available) + L" available on " +
                             space.volume);
    }
    if (space.known && space.needed > space.available &&
        !interaction.Ask(Question::kLowSpace, SpaceWarning(space))) {
      return SetupExit::kNotEnoughSpace;
    }
  }
  HeldFolder held;
  const FolderOpening opening = OpenInstallFolder(folder, &held);
  for (const std::wstring& made : held.created)
    interaction.Log().Line(L"made folder " + made);
  prepared->created = std::move(held.created);
  if (opening != FolderOpening::kOpened) {
    const std::wstring refused =
        L"the folder " + folder + L" was refused: " + RefusalOf(opening).reason;
    interaction.Log().Line(held.error != ERROR_SUCCESS ? WithError(refused, held.error) : refused);
    ReleaseInstallFolder(*prepared);
    interaction.Tell(RefusalOf(opening).message);
    return SetupExit::kFolderRefused;
  }
  prepared->folder = held.path;
  prepared->fresh = held.fresh;
  // Held until the installation ends, so that nobody removes or replaces a folder on the way
  // before the worker holds it.
  prepared->held = std::move(held.handles);
  return {};
}

void ReleaseInstallFolder(PreparedFolder& prepared) {
  prepared.held.clear();
  for (auto it = prepared.created.rbegin(); it != prepared.created.rend(); ++it) {
    if (!RemoveDirectoryW(it->c_str()))
      break;
  }
  prepared.created.clear();
}

std::wstring FailureMessage(int code, const std::wstring& path) {
  switch (code) {
    case INSTALL_CREATE_FAILED:
      return L"创建文件" + path + L"失败";
    case INSTALL_REGISTER_FAILED:
      return L"注册组件" + path + L"失败";
    case INSTALL_REGISTER_HUNG:
      return L"注册组件" + path + L"无响应，安装已停止";
    default:
      return L"初始化资源列表失败，可能程序已损坏，请重新下载";
  }
}

SetupExit ExitForReport(int code) {
  switch (code) {
    case INSTALL_COMPLETE:
      return SetupExit::kInstalled;
    case INSTALL_CREATE_FAILED:
      return SetupExit::kWriteFailed;
    case INSTALL_REGISTER_FAILED:
    case INSTALL_REGISTER_HUNG:
      return SetupExit::kRegistrationFailed;
    case INSTALL_PACKAGE_UNREADABLE:
      return SetupExit::kPackageUnreadable;
    default:
      return SetupExit::kCancelled;  // stopped before its end
  }
}
