// Runs the real application on the calling thread while a driver acts on
// another, as a user would; the window is closed once the driver returns.
#pragma once

#include <windows.h>

#include <functional>

#include "app/main_window.h"

inline constexpr DWORD kWindowTimeoutMs = 10000;

int run_window_with(WorkerBodies bodies, const std::function<void(HWND)>& drive,
                    int show_command = SW_SHOWNORMAL);

// Polls for up to five seconds.
bool wait_until(const std::function<bool()>& condition);

void no_work(HWND window) noexcept;
