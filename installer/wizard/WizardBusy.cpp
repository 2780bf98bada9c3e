// The wizard while it waits: a process, a thread or the worker's end, with the window
// answering other programs and repainting, its buttons grey and input dropped.
#include "installer/wizard/WizardDialog.h"

#include <iterator>

namespace {

// Keyboard and mouse messages, which a wait drops.
void DropInput() {
  constexpr UINT kRanges[][2] = {{WM_KEYFIRST, WM_KEYLAST},
                                 {WM_MOUSEFIRST, WM_MOUSELAST},
                                 {WM_NCMOUSEMOVE, WM_NCXBUTTONDBLCLK},
                                 {0x0240, 0x024F},  // touch and pointer input
                                 {0x00FE, 0x00FF},  // raw input
                                 {WM_NCMOUSEHOVER, WM_MOUSELEAVE}};
  MSG message;
  for (const auto& range : kRanges) {
    while (PeekMessageW(&message, nullptr, range[0], range[1], PM_REMOVE)) {
    }
  }
}

}  // namespace

DWORD WizardDialog::WaitBusy(HANDLE object, DWORD milliseconds, const wchar_t* status) {
  // The page's buttons go grey and the cursor shows the wait; both are given back after.
  Control* const buttons[] = {&btnBack_, &btnNext_, &btnCancel_, &btnBrowse_};
  bool enabled[std::size(buttons)];
  const HWND focus = GetFocus();
  for (std::size_t i = 0; i < std::size(buttons); ++i) {
    enabled[i] = IsWindowEnabled(buttons[i]->Handle()) != FALSE;
    buttons[i]->Enable(false);
  }
  busy_ = true;
  if (status != nullptr) {
    stcWaiting_.SetText(status);
    busyStatus_ = true;
    ShowWindow(stcWaiting_.Handle(), SW_SHOWNORMAL);
    UpdateWindow(stcWaiting_.Handle());
  }
  SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  const DWORD start = GetTickCount();
  DWORD result = WAIT_TIMEOUT;
  for (;;) {
    const DWORD elapsed = GetTickCount() - start;
    if (milliseconds != INFINITE && elapsed >= milliseconds)
      break;
    // Woken by what is in the queue, not only by what is new in it: a look at the queue
    // marks all that is there as seen, so a repaint asked for while the loop below looked
    // for other messages would otherwise wait for the end of the wait.
    const DWORD woke = MsgWaitForMultipleObjectsEx(
        1, &object, milliseconds == INFINITE ? INFINITE : milliseconds - elapsed,
        QS_INPUT | QS_PAINT | QS_TIMER | QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
    if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) {
      result = woke;
      break;
    }
    if (woke == WAIT_TIMEOUT)
      break;
    // Messages other programs send - a screen reader's WM_GETOBJECT, a WM_NULL asking
    // whether the window still answers - are answered at once: looking at the queue for
    // them delivers them. Input is dropped, never queued for afterwards; the window and
    // whatever a closed message box uncovered repaint. Posted messages wait for the
    // dialog's own loop.
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    DropInput();
    while (PeekMessageW(&message, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE))
      DispatchMessageW(&message);
    while (PeekMessageW(&message, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE))
      DispatchMessageW(&message);
  }
  DropInput();
  busy_ = false;
  if (busyStatus_) {
    busyStatus_ = false;
    ShowWindow(stcWaiting_.Handle(), SW_HIDE);
  }
  for (std::size_t i = 0; i < std::size(buttons); ++i)
    buttons[i]->Enable(enabled[i]);
  if (focus != nullptr && IsWindowEnabled(focus) && IsWindowVisible(focus))
    SetFocus(focus);
  SetCursor(LoadCursorW(nullptr, IDC_ARROW));
  return result;
}

LRESULT WizardDialog::OnSetCursor(WPARAM wParam, LPARAM lParam) {
  if (busy_) {
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    return TRUE;
  }
  return DefWindowProcW(hWnd_, WM_SETCURSOR, wParam, lParam);
}

void WizardDialog::UndoRun() {
  // The page says what happens now, not the last file written; a screen reader hears it.
  statusText_ = kUndoingStatus;
  stcStatus_.SetText(statusText_.c_str());
  UpdateWindow(stcStatus_.Handle());
  NotifyWinEvent(EVENT_SYSTEM_ALERT, stcStatus_.Handle(), OBJID_CLIENT, CHILDID_SELF);
  WaitBusy(worker_.Thread(), INFINITE);
  installation_.Undo(worker_.Outcome());
}
