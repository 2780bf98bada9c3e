// The end-to-end driver: operates the real installer the way a person does - finds its
// window, clicks buttons by control id, answers message boxes by their text, reads control
// texts and states - and captures its client area for pixel checks and screenshots. The
// tests wait for what they expect to see (WaitUntil), never for a length of time.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// Polls `done` every 20 ms, handling this thread's messages meanwhile (a WinEvent hook's
// calls arrive that way), until it holds or `milliseconds` have passed; whether it held.
template <class Condition>
bool WaitUntil(Condition done, DWORD milliseconds = 30000) {
  for (const ULONGLONG start = GetTickCount64();; Sleep(20)) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
      DispatchMessageW(&message);
    if (done())
      return true;
    if (GetTickCount64() - start >= milliseconds)
      return false;
  }
}

// A captured client area, 24-bit, top row first.
struct Capture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> bgr;  // width * height * 3
  COLORREF Pixel(int x, int y) const {
    const std::size_t at = (static_cast<std::size_t>(y) * width + x) * 3;
    return RGB(bgr[at + 2], bgr[at + 1], bgr[at]);
  }
  // Writes a .bmp file.
  bool Save(const std::wstring& path) const;
};

class Driver {
 public:
  // Starts `program` (a copy of the installer, named for its channel) with `arguments` on
  // `desktop` ("station\\desktop"; null: this program's) and waits for the wizard window,
  // which must be on the calling thread's desktop.
  bool Start(const std::wstring& program,
             const std::wstring& arguments = L"",
             const wchar_t* desktop = nullptr);
  HWND Window() const { return window_; }
  HANDLE Process() const { return process_; }
  // Waits for the process to end; its exit code, or STILL_ACTIVE on time-out.
  DWORD WaitForExit(DWORD milliseconds);

  // Posts the click of button `id`, as a program would.
  void Click(int id) const;
  // Clicks the middle of control `id` with the mouse, and presses a key, as a person does:
  // both go through the system's input queue.
  void ClickWithMouse(int id) const;
  // Two clicks on control `id`, `gapMs` apart: a double-click within the system's time.
  void DoubleClickWithMouse(int id, DWORD gapMs) const;
  void PressKey(WORD key) const;
  // Types `text` into the control with the keyboard focus, a character at a time.
  void TypeText(const std::wstring& text) const;
  // The visible top-level windows that the wizard owns (a folder browser, a message box).
  std::vector<HWND> OwnedWindows() const;
  std::wstring Text(int id) const;
  void SetText(int id, const std::wstring& text) const;
  bool Visible(int id) const;
  bool Enabled(int id) const;
  int Checked(int id) const;
  // The window that has the keyboard focus in the wizard's thread, and moving it.
  HWND Focus() const;
  void FocusControl(int id) const;
  // Waits until control `id` shows `text`, then until the wizard has settled (the rest of
  // the page it is on is set up).
  bool WaitForText(int id, const std::wstring& text, DWORD milliseconds = 60000) const;
  // Returns once the wizard's thread has handled every message posted to it before the call
  // (a click, a key sent to a control), and what those posted in turn: a harmless marker
  // posted after them has come through. For a check that an action changed nothing. False
  // when the marker did not come through within `milliseconds`.
  bool Settle(DWORD milliseconds = 30000) const;
  // The same after keyboard or mouse input. That input reaches the wizard's thread through
  // the system's queue, which no other process can see into, and the thread reads it after
  // its posted messages: so the input is given a moment (300 ms) before Settle. The one
  // wait for a length of time: what follows input is often a check that nothing happened.
  bool SettleInput(DWORD milliseconds = 30000) const;
  Capture CaptureClient() const;

  ~Driver();

 private:
  HANDLE process_ = nullptr;
  HWND window_ = nullptr;
};

// Finds a message box captioned `caption`, returns its text, and presses button `id`.
// Empty when none appeared in time.
std::wstring AnswerMessageBox(const std::wstring& caption, int id, DWORD milliseconds = 20000);
