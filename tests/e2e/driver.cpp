#include "tests/e2e/driver.h"

#include <algorithm>
#include <fstream>

namespace {

HWND FindWizard(DWORD pid) {
  struct Search {
    DWORD pid;
    HWND found;
  } search{pid, nullptr};
  EnumWindows(
      [](HWND window, LPARAM lParam) -> BOOL {
        auto* s = reinterpret_cast<Search*>(lParam);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        wchar_t title[128] = {};
        GetWindowTextW(window, title, 128);
        if (owner == s->pid && IsWindowVisible(window) &&
            std::wstring(title) == L"KorvelV1.0 - 安装向导") {
          s->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace

bool Capture::Save(const std::wstring& path) const {
  const int rowBytes = (width * 3 + 3) & ~3;
  BITMAPFILEHEADER file{};
  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biSizeImage = static_cast<DWORD>(rowBytes * height);
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + info.biSizeImage;
  std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(&file), sizeof file);
  out.write(reinterpret_cast<const char*>(&info), sizeof info);
  std::vector<char> row(static_cast<std::size_t>(rowBytes), 0);
  for (int y = height - 1; y >= 0; --y) {
    std::copy_n(bgr.begin() + static_cast<std::ptrdiff_t>(y) * width * 3, width * 3, row.begin());
    out.write(row.data(), rowBytes);
  }
  return static_cast<bool>(out);
}

bool Driver::Start(const std::wstring& program,
                   const std::wstring& arguments,
                   const wchar_t* desktop) {
  std::wstring command = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
  std::wstring desktopName = desktop != nullptr ? desktop : L"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop != nullptr ? desktopName.data() : nullptr;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  WaitUntil(
      [&] {
        window_ = FindWizard(info.dwProcessId);
        return window_ != nullptr || WaitForSingleObject(process_, 0) == WAIT_OBJECT_0;
      },
      20000);
  return window_ != nullptr && Settle();
}

DWORD Driver::WaitForExit(DWORD milliseconds) {
  if (WaitForSingleObject(process_, milliseconds) != WAIT_OBJECT_0)
    return STILL_ACTIVE;
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  return code;
}

Driver::~Driver() {
  if (process_ != nullptr) {
    if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0)
      TerminateProcess(process_, 1);
    CloseHandle(process_);
  }
}

void Driver::Click(int id) const {
  PostMessageW(window_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(window_, id)));
}

void Driver::ClickWithMouse(int id) const {
  RECT rect;
  GetWindowRect(GetDlgItem(window_, id), &rect);
  const int x = (rect.left + rect.right) / 2;
  const int y = (rect.top + rect.bottom) / 2;
  INPUT input[3] = {};
  for (INPUT& i : input) {
    i.type = INPUT_MOUSE;
    i.mi.dx = MulDiv(x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
    i.mi.dy = MulDiv(y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
  }
  input[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  input[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_ABSOLUTE;
  input[2].mi.dwFlags = MOUSEEVENTF_LEFTUP | MOUSEEVENTF_ABSOLUTE;
  SendInput(3, input, sizeof(INPUT));
}

void Driver::DoubleClickWithMouse(int id, DWORD gapMs) const {
  ClickWithMouse(id);
  Sleep(gapMs);  // the gap between the clicks is what a double-click is
  ClickWithMouse(id);
}

void Driver::TypeText(const std::wstring& text) const {
  if (GetForegroundWindow() != window_)
    SetForegroundWindow(window_);
  for (const wchar_t c : text) {
    INPUT input[2] = {};
    input[0].type = input[1].type = INPUT_KEYBOARD;
    input[0].ki.wScan = input[1].ki.wScan = c;
    input[0].ki.dwFlags = KEYEVENTF_UNICODE;
    input[1].ki.dwFlags = KEYEVENTF_UNICODE | KEYEVENTF_KEYUP;
    SendInput(2, input, sizeof(INPUT));
  }
  SettleInput();
}

void Driver::PressKey(WORD key) const {
  if (GetForegroundWindow() != window_)
    SetForegroundWindow(window_);
  INPUT input[2] = {};
  input[0].type = input[1].type = INPUT_KEYBOARD;
  input[0].ki.wVk = input[1].ki.wVk = key;
  input[1].ki.dwFlags = KEYEVENTF_KEYUP;
  SendInput(2, input, sizeof(INPUT));
  SettleInput();
}

std::vector<HWND> Driver::OwnedWindows() const {
  struct Search {
    HWND owner;
    std::vector<HWND> found;
  } search{window_, {}};
  EnumWindows(
      [](HWND window, LPARAM lParam) -> BOOL {
        auto* s = reinterpret_cast<Search*>(lParam);
        if (GetWindow(window, GW_OWNER) == s->owner && IsWindowVisible(window))
          s->found.push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::wstring Driver::Text(int id) const {
  wchar_t text[1024] = {};
  GetDlgItemTextW(window_, id, text, 1024);
  return text;
}

void Driver::SetText(int id, const std::wstring& text) const {
  SetDlgItemTextW(window_, id, text.c_str());
}

bool Driver::Visible(int id) const {
  return IsWindowVisible(GetDlgItem(window_, id)) != FALSE;
}
bool Driver::Enabled(int id) const {
  return IsWindowEnabled(GetDlgItem(window_, id)) != FALSE;
}
int Driver::Checked(int id) const {
  return static_cast<int>(SendMessageW(GetDlgItem(window_, id), BM_GETCHECK, 0, 0));
}

HWND Driver::Focus() const {
  // A window of another program (a client that a test running beside this one starts) may
  // have taken the activation; the dialog keeps its focus and gives it back once active.
  if (GetForegroundWindow() != window_)
    SetForegroundWindow(window_);
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  WaitUntil(
      [&] {
        return GetGUIThreadInfo(GetWindowThreadProcessId(window_, nullptr), &info) &&
               info.hwndFocus != nullptr;
      },
      2000);
  return info.hwndFocus;
}

void Driver::FocusControl(int id) const {
  const DWORD theirs = GetWindowThreadProcessId(window_, nullptr);
  const DWORD ours = GetCurrentThreadId();
  AttachThreadInput(ours, theirs, TRUE);
  SetFocus(GetDlgItem(window_, id));
  AttachThreadInput(ours, theirs, FALSE);
}

bool Driver::WaitForText(int id, const std::wstring& text, DWORD milliseconds) const {
  return WaitUntil([&] { return Text(id) == text; }, milliseconds) && Settle();
}

bool Driver::Settle(DWORD milliseconds) const {
  // The marker: EM_SETMODIFY on the folder box, a flag the wizard never reads. Two rounds,
  // so that what the handled messages posted comes through too.
  // The wizard makes its controls as its window starts: the box may not be there yet.
  HWND edit = nullptr;
  if (!WaitUntil([&] { return (edit = FindWindowExW(window_, nullptr, L"Edit", nullptr)); },
                 milliseconds)) {
    return false;
  }
  DWORD_PTR found = 0;
  if (SendMessageTimeoutW(edit, EM_GETMODIFY, 0, 0, SMTO_NORMAL, milliseconds, &found) == 0)
    return false;
  for (int round = 0; round < 2; ++round) {
    DWORD_PTR modified = 0;
    SendMessageTimeoutW(edit, EM_SETMODIFY, FALSE, 0, SMTO_NORMAL, milliseconds, &modified);
    PostMessageW(edit, EM_SETMODIFY, TRUE, 0);
    const bool through = WaitUntil(
        [&] {
          return SendMessageTimeoutW(edit, EM_GETMODIFY, 0, 0, SMTO_NORMAL, milliseconds,
                                     &modified) != 0 &&
                 modified != 0;
        },
        milliseconds);
    if (!through)
      return false;
  }
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(edit, EM_SETMODIFY, found, 0, SMTO_NORMAL, milliseconds, &ignored);
  return true;
}

bool Driver::SettleInput(DWORD milliseconds) const {
  Sleep(300);
  return Settle(milliseconds);
}

Capture Driver::CaptureClient() const {
  Capture c;
  RECT client;
  GetClientRect(window_, &client);
  c.width = client.right;
  c.height = client.bottom;
  SetForegroundWindow(window_);
  RedrawWindow(window_, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  // Wine draws through the X server: what the wizard painted reaches the screen a moment
  // later, and nothing tells when.
  Sleep(200);
  HDC windowDc = GetDC(window_);
  HDC memory = CreateCompatibleDC(windowDc);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = c.width;
  info.bmiHeader.biHeight = -c.height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(windowDc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, dib);
  BitBlt(memory, 0, 0, c.width, c.height, windowDc, 0, 0, SRCCOPY);
  GdiFlush();
  const int rowBytes = (c.width * 3 + 3) & ~3;
  c.bgr.resize(static_cast<std::size_t>(c.width) * c.height * 3);
  for (int y = 0; y < c.height; ++y) {
    std::copy_n(static_cast<const std::uint8_t*>(bits) + static_cast<std::ptrdiff_t>(y) * rowBytes,
                c.width * 3, c.bgr.begin() + static_cast<std::ptrdiff_t>(y) * c.width * 3);
  }
  SelectObject(memory, old);
  DeleteObject(dib);
  DeleteDC(memory);
  ReleaseDC(window_, windowDc);
  return c;
}

std::wstring AnswerMessageBox(const std::wstring& caption, int id, DWORD milliseconds) {
  // Every dialog of that caption is looked at, not only the first: another may be on its way
  // out, or not be a message box.
  struct Search {
    const std::wstring& caption;
    HWND box = nullptr;
  } search{caption};
  if (!WaitUntil(
          [&] {
            search.box = nullptr;
            EnumWindows(
                [](HWND window, LPARAM lParam) -> BOOL {
                  auto& s = *reinterpret_cast<Search*>(lParam);
                  wchar_t name[16] = {}, text[256] = {};
                  GetClassNameW(window, name, 16);
                  GetWindowTextW(window, text, 256);
                  if (std::wstring(name) == L"#32770" && text == s.caption &&
                      IsWindowVisible(window) && GetDlgItem(window, 0xFFFF) != nullptr) {
                    s.box = window;
                    return FALSE;
                  }
                  return TRUE;
                },
                reinterpret_cast<LPARAM>(&search));
            return search.box != nullptr;
          },
          milliseconds)) {
    return {};
  }
  const HWND box = search.box;
  wchar_t text[512] = {};
  GetDlgItemTextW(box, 0xFFFF, text, 512);
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
  WaitUntil([box] { return !IsWindow(box); }, 2000);
  return text;
}
