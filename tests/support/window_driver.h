// Finds and drives the downloader's windows the way a user would: by class
// and caption, through the real window manager. Used in-process by the
// window tests and out-of-process by window_probe.exe.
#pragma once

#include <windows.h>

#include <string>

// Wait until the window, or the box with its text and buttons in place, is
// there; null when `timeout_ms` passed first.
HWND wait_for_main_window(DWORD timeout_ms);
HWND wait_for_message_box(const std::wstring& caption, DWORD timeout_ms);

// A visible message box with this caption that is open right now, or null.
HWND find_message_box(const std::wstring& caption);

std::wstring window_text(HWND window);
std::wstring message_box_text(HWND box);

// Presses IDYES, IDNO or IDOK the way a click would.
bool press_message_box_button(HWND box, int button_id);

// How a reader names one child of an accessible object.
VARIANT child_variant(LONG child);
