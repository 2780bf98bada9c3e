#include "install/SetupLog.h"

#include "install/NumberText.h"
#include "install/Utf8.h"

bool SetupLog::Open(const std::wstring& path, DWORD* error) {
  // Readable while it is written, so that an admin can follow it.
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  static constexpr char kBom[] = "\xEF\xBB\xBF";
  if (!file.valid() || !WriteFile(file.get(), kBom, 3, &written, nullptr)) {
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
  const std::lock_guard<std::mutex> lock(mutex_);
  DWORD written = 0;
  WriteFile(file_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring WithError(std::wstring_view text, DWORD error) {
  return std::wstring(text) + L" (error " + DecimalText<wchar_t>(error) + L")";
}
