#include "installer/flow/FolderPreparation.h"

#include <cwchar>
#include <cwctype>
#include <iterator>

#include "core/install/InstallFolder.h"
#include "core/product/Product.h"
#include "core/text/NumberText.h"
#include "win/base/Paths.h"
#include "win/base/Text.h"
#include "win/install/HeldFolder.h"

namespace {

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

}  // namespace

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
