#include "win/install/SetupLog.h"

#include "core/package/Utf8.h"
#include "core/product/Product.h"
#include "core/text/NumberText.h"
#include "win/install/Removal.h"

bool SetupLog::Open(const std::wstring& path, DWORD* error) {
  // Readable while it is written, so that an admin can follow it. The file is made new, or
  // an existing one opened, without following a link; either way it must then prove to be
  // a plain file at its own place with no other name - a log path may lie in a folder a
  // user owns (their %TEMP%), where a link could aim this program's writing at any file.
  const auto open = [&](DWORD disposition) {
    return UniqueHandle(CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                                    disposition,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  };
  UniqueHandle file = open(CREATE_NEW);
  const bool made = file.valid();
  if (!made && GetLastError() == ERROR_FILE_EXISTS) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0) {
      file = open(OPEN_EXISTING);
    }
    SetLastError(ERROR_ACCESS_DENIED);
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file.valid() || !GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      info.nNumberOfLinks != 1 || !AtItsOwnPlace(file.get(), path)) {
    *error = file.valid() ? static_cast<DWORD>(ERROR_ACCESS_DENIED) : GetLastError();
    if (made)
      DeleteThrough(file.get());  // made through a link on the way: not left there
    return false;
  }
  // An existing log is written anew.
  DWORD written = 0;
  static constexpr char kBom[] = "\xEF\xBB\xBF";
  if (!SetEndOfFile(file.get()) || !WriteFile(file.get(), kBom, 3, &written, nullptr)) {
    *error = GetLastError();
    return false;
  }
  file_ = std::move(file);
  return true;
}

void SetupLog::Line(std::wstring_view text) {
  if (!file_.valid())
    return;
  SYSTEMTIME now;
  GetLocalTime(&now);
  // "2026-01-31 09:05:07.042  "
  std::u16string line =
      DecimalText<char16_t>(now.wYear, 4) + u'-' + DecimalText<char16_t>(now.wMonth, 2) + u'-' +
      DecimalText<char16_t>(now.wDay, 2) + u' ' + DecimalText<char16_t>(now.wHour, 2) + u':' +
      DecimalText<char16_t>(now.wMinute, 2) + u':' + DecimalText<char16_t>(now.wSecond, 2) + u'.' +
      DecimalText<char16_t>(now.wMilliseconds, 3) + u"  ";
  for (const wchar_t c : text)
    line += (c == L'\r' || c == L'\n') ? u' ' : static_cast<char16_t>(c);
  line += u"\r\n";
  const std::string bytes = Utf16ToUtf8(line);
  AcquireSRWLockExclusive(&lock_);
  DWORD written = 0;
  WriteFile(file_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ReleaseSRWLockExclusive(&lock_);
}

std::wstring DefaultLogPath(std::wstring_view program) {
  wchar_t folder[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, folder);
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return std::wstring(folder) + product::kFolderName + L'-' + std::wstring(program) + L'-' +
         DecimalText<wchar_t>(now.wYear, 4) + DecimalText<wchar_t>(now.wMonth, 2) +
         DecimalText<wchar_t>(now.wDay, 2) + L'-' + DecimalText<wchar_t>(now.wHour, 2) +
         DecimalText<wchar_t>(now.wMinute, 2) + DecimalText<wchar_t>(now.wSecond, 2) + L'-' +
         DecimalText<wchar_t>(GetCurrentProcessId()) + L".log";
}

std::wstring WithError(std::wstring_view text, DWORD error) {
  return std::wstring(text) + L" (error " + DecimalText<wchar_t>(error) + L")";
}
