// The channel file "RudodeData\Spread.ini" in the install folder: the platform and detail
// scanned from the installer's own name (see ChannelName.h), for the client to read.
#pragma once

#include <string>

// The program's own name as the C runtime gives it as argv[0]: the first argument of the
// command line, normally the full path the installer was started with.
std::wstring ProgramName();

// Makes the folders and writes [SpreadInfo] SpreadPlat= and SubDetailInfo= (platform first,
// empty values written too). Failures are not reported.
void WriteChannelInfo(const wchar_t* installFolder, const wchar_t* programName);
