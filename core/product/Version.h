// The release's version and the names the programs' version resources carry: the one place
// they are set. Macros, so that the resource compiler reads this file as the compiler does
// (resources/wizard.rc.in and uninstaller/uninstall.rc include VersionInfo.rc, which uses
// them); Product.h builds its texts from them.
#pragma once

#define SETUP_VERSION_MAJOR 1
#define SETUP_VERSION_MINOR 0
#define SETUP_VERSION_TEXT "1.0"

#define SETUP_PRODUCT_NAME "Korvel视频安装版"
#define SETUP_PUBLISHER "Korvel互动娱乐"
#define SETUP_COPYRIGHT "(C) 2026 Korvel互动娱乐"
