// The demo client, "Korvel互动.exe": one visible top-level window of the class the installer
// and the uninstaller look for, which ends the program when it is closed.
#include <windows.h>

namespace {

constexpr wchar_t kClassName[] = L"ZephlinHallFrameWindow_Brimvale";

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      RECT area;
      GetClientRect(window, &area);
      DrawTextW(dc, L"Korvel互动 - 演示客户端", -1, &area, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = kClassName;
  if (!RegisterClassW(&windowClass))
    return 1;
  HWND window = CreateWindowExW(0, kClassName, L"Korvel互动", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, 480, 320, nullptr, nullptr, instance, nullptr);
  if (window == nullptr)
    return 1;
  ShowWindow(window, show);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
