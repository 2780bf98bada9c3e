// The product's identity: every name and text that says which product this is - its names,
// the uninstall entry, the folder, the client's window class and file, the mutex, the
// shortcuts, the files an installation writes, and the texts that name the product. A
// rebrand changes this file only. Both programs and the packager read it; it needs no
// <windows.h>. Texts are UTF-16 (wchar_t on Windows); `ToUtf16` gives the portable core
// its char16_t copy of a name at compile time.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "core/product/Version.h"

namespace product {

// --- names other programs and the next installation rely on ----------------------------
inline constexpr wchar_t kDisplayName[] = L"" SETUP_PRODUCT_NAME;  // the entry's key and name
inline constexpr wchar_t kPublisher[] = L"" SETUP_PUBLISHER;
inline constexpr wchar_t kVersion[] = L"" SETUP_VERSION_TEXT;
inline constexpr unsigned kVersionMajor = SETUP_VERSION_MAJOR;
inline constexpr unsigned kVersionMinor = SETUP_VERSION_MINOR;
// The entry's URLInfoAbout and HelpLink.
inline constexpr wchar_t kAboutUrl[] = L"https://www.korvel.example/";
inline constexpr wchar_t kHelpUrl[] = L"https://www.korvel.example/help/";
inline constexpr wchar_t kUninstallKeyParent[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
// HKEY_LOCAL_MACHINE\<this>: the uninstall entry.
inline constexpr wchar_t kUninstallKeyPath[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvel视频安装版";
// A value of the entry: the outermost folder the installation made (the install folder or
// one above it), which the uninstaller removes, with those between, when they are empty.
inline constexpr wchar_t kCreatedFolderValue[] = L"CreatedFolder";
// A value of the entry: each listed file's size and last-write time as the installation
// left it, so that the next one can tell the files their user changed.
inline constexpr wchar_t kFileStampsValue[] = L"FileStamps";
// A value of the entry while an upgrade has not ended: the folder (ending with '\') whose
// "uninstall.old\journal" says how far it went, whatever folder the entry names by then.
inline constexpr wchar_t kJournalValue[] = L"UpgradeJournal";
// One installer at a time, in every session: a SYSTEM deployment and a user's wizard too.
inline constexpr wchar_t kMutexName[] = L"Global\\vorlixInstall";
// Names, in the environment of an uninstaller that the installer itself runs (to remove an
// earlier installation) while it holds the mutex, the grant it made for that run
// (install/AdminObjects.h); any other uninstaller refuses while an installer runs.
inline constexpr wchar_t kStartedByInstaller[] = L"vorlixStartedByInstaller";
inline constexpr wchar_t kClientWindowClass[] = L"ZephlinHallFrameWindow_Brimvale";

// --- the install folder and what an installation writes --------------------------------
inline constexpr wchar_t kFolderName[] = L"brimvale";  // the suggested folder's last name
inline constexpr wchar_t kClientFile[] = L"Korvel互动.exe";
inline constexpr wchar_t kUninstallerFile[] = L"uninstall.exe";
inline constexpr wchar_t kManifestFile[] = L"uninstall.ini";
inline constexpr wchar_t kComponentFile[] = L"imageOle.dll";
inline constexpr wchar_t kChannelFile[] = L"RudodeData\\Spread.ini";
// Where an installation keeps the files that were in the folder before it and that the
// package replaced, until it is removed again (and they are put back).
inline constexpr wchar_t kKeptFolder[] = L"uninstall.kept";
// Where an upgrade keeps the earlier installation's files until the new one is complete.
inline constexpr wchar_t kAsideFolder[] = L"uninstall.old";

// --- shortcuts: the client's in the Startup folder and on the all-users desktop, and two
// in the all-users program menu's sub-folder kFolderName -------------------------------
inline constexpr wchar_t kClientShortcut[] = L"Korvel互动.lnk";
inline constexpr wchar_t kMenuClientShortcut[] = L"brimvale\\Korvel互动.lnk";
inline constexpr wchar_t kMenuUninstallShortcut[] = L"brimvale\\uninstall.lnk";
inline constexpr wchar_t kClientDescription[] = L"马上开始Korvel视频之旅";
inline constexpr wchar_t kUninstallDescription[] = L"删除Korvel视频";

// --- the wizard's texts that name the product ------------------------------------------
inline constexpr wchar_t kWizardCaption[] = L"KorvelV" SETUP_VERSION_TEXT " - 安装向导";
inline constexpr wchar_t kTargetDescription[] =
    L"安装向导将安装Korvel到下面指定的文件夹。要安装到其他文件夹请单击[...]";
inline constexpr wchar_t kRecommendation[] = L"Korvel推荐您：";
inline constexpr wchar_t kRunNowChoice[] = L"马上运行Korvel";
inline constexpr wchar_t kClosingClient[] = L"正在关闭Korvel…";  // while it waits for the client
// What the welcome picture says, for a screen reader: the picture's text alternative.
inline constexpr wchar_t kWelcomeText[] =
    L"欢迎使用Korvel视频安装向导。单击[下一步]继续安装，单击[取消]退出安装向导。";
// The finish page's line when the client cannot be started as the signed-in user.
inline constexpr wchar_t kStartFromShortcut[] =
    L"Korvel可在安装完成后从开始菜单或桌面的快捷方式启动";
// The finish page's line when files of the earlier installation in use go at the next restart.
inline constexpr wchar_t kRestartToFinish[] = L"重新启动计算机后，Korvel的更新才能全部完成";
// When the earlier installation's uninstaller left part of it: nothing is installed.
inline constexpr wchar_t kPreviousNotRemoved[] =
    L"旧版本未能完全卸载，请关闭正在使用它的程序后重新运行安装程序";

// --- the uninstaller's texts that name the product --------------------------------------
inline constexpr wchar_t kClientRunning[] = L"Korvel正在运行，请终止后卸载";
inline constexpr wchar_t kSystemUnsupported[] =
    L"此程序需要 Windows 8 或更高版本，或已安装 KB2533623 更新的 Windows 7";
inline constexpr wchar_t kInstallerRunning[] = L"Korvel视频安装版正在安装，请在安装结束后卸载";
inline constexpr wchar_t kConfirmRemoval[] = L"是否要卸载Korvel视频安装版";
inline constexpr wchar_t kRemoved[] = L"Korvel视频安装版成功从你的计算机移除";
inline constexpr wchar_t kRestartToRemove[] = L"重新启动计算机后，正在使用的文件才能全部删除";
inline constexpr wchar_t kNotAllRemoved[] = L"Korvel视频安装版未能完全移除，无法删除：";
// Followed by the install folder, on a line of its own.
inline constexpr wchar_t kFolderNotInCodePage[] =
    L"Korvel视频安装版无法卸载：安装文件夹的名称含有系统代码页无法表示的字符：";

// A name as UTF-16 code units, at compile time (the names are all in the Basic
// Multilingual Plane, so each wchar_t is one unit wherever wchar_t is wider).
template <std::size_t N>
constexpr std::array<char16_t, N> ToUtf16(const wchar_t (&text)[N]) {
  std::array<char16_t, N> units{};
  for (std::size_t i = 0; i < N; ++i)
    units[i] = static_cast<char16_t>(text[i]);
  return units;
}

template <std::size_t N>
constexpr std::u16string_view View(const std::array<char16_t, N>& units) {
  return std::u16string_view(units.data(), N - 1);
}

}  // namespace product

// The installation's own files and the client, as the portable core spells them.
inline constexpr auto kManifestUnits = product::ToUtf16(product::kManifestFile);
inline constexpr auto kUninstallerUnits = product::ToUtf16(product::kUninstallerFile);
inline constexpr auto kComponentUnits = product::ToUtf16(product::kComponentFile);
inline constexpr auto kClientUnits = product::ToUtf16(product::kClientFile);
inline constexpr std::u16string_view kManifestName = product::View(kManifestUnits);
inline constexpr std::u16string_view kUninstallerName = product::View(kUninstallerUnits);
inline constexpr std::u16string_view kComponentName = product::View(kComponentUnits);
inline constexpr std::u16string_view kClientName = product::View(kClientUnits);
