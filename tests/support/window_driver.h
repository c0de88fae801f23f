// Finds and drives the downloader's windows the way a user would: by class
// and caption, through the real window manager. Used in-process by the
// window tests and out-of-process by window_probe.exe.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "app/main_window.h"

// Polls every 20 ms until found or `timeout_ms` passed; null on time-out.
HWND wait_for_main_window(DWORD timeout_ms);
HWND wait_for_message_box(const std::wstring& caption, DWORD timeout_ms);

// A visible message box with this caption that is open right now, or null.
HWND find_message_box(const std::wstring& caption);

std::wstring window_text(HWND window);
std::wstring message_box_text(HWND box);

// Presses IDYES, IDNO or IDOK the way a click would.
bool press_message_box_button(HWND box, int button_id);

// Runs the whole application on the calling thread with `bodies` as its
// workers while `drive` acts on the window from a second thread; closes the
// window once `drive` returns. `drive` is not called when no window appears
// within 10 s. Returns the application's exit code.
int run_window_with(WorkerBodies bodies, const std::function<void(HWND)>& drive);

// Polls `condition` every 10 ms for up to `timeout_ms`; its last answer.
bool wait_until(const std::function<bool()>& condition, DWORD timeout_ms = 5000);
