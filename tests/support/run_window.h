// Runs the real application on the calling thread while a driver acts on
// another, as a user would; the window is closed once the driver returns.
#pragma once

#include <windows.h>

#include <functional>

#include "app/main_window.h"

inline constexpr DWORD kWindowTimeoutMs = 10000;

int run_window_with(WorkerBodies bodies, const std::function<void(HWND)>& drive,
                    int show_command = SW_SHOWNORMAL);

// Polls `condition` every 10 ms for up to `timeout_ms`; its last answer.
bool wait_until(const std::function<bool()>& condition, DWORD timeout_ms = 5000);

void no_work(HWND window) noexcept;
