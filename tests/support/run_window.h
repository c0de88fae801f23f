// Runs the real application on the calling thread while a driver acts on
// another, as a user would; the window is closed once the driver returns.
//
// The driver never reads what the window's thread owns (the back buffer, the
// carousel): it looks at the window, or asks that thread to answer.
#pragma once

#include <windows.h>

#include <functional>

#include "app/main_window.h"
#include "tests/support/wait.h"
#include "tests/support/window_capture.h"

int run_window_with(WorkerBodies bodies, const std::function<void(HWND)>& drive,
                    int show_command = SW_SHOWNORMAL);

// Runs `task` on the window's thread and returns once it has run there.
void on_window_thread(HWND window, const std::function<void()>& task);

// What the window's thread has taken from its queue since the window opened,
// counted there as it takes them: paints of the main window, and ticks of
// the main window's timer `timer_id` (below kCountedTimers).
inline constexpr UINT_PTR kCountedTimers = 4;
int paints_taken();
int timer_ticks_taken(UINT_PTR timer_id);

// The client area once the window has painted a whole frame after this call.
Capture capture_next_frame(HWND window);

void no_work(HWND window) noexcept;
