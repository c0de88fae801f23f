// The one top-level window: class, placement, window procedure and the
// launching of worker threads. Everything here runs on the user-interface
// thread.
#pragma once

#include <windows.h>

inline constexpr wchar_t kWindowClass[] = L"talvorendownloader";
inline constexpr int kWindowWidth = 856;
inline constexpr int kWindowHeight = 538;
inline constexpr int kMinTrackWidth = 720;
inline constexpr int kMinTrackHeight = 520;
inline constexpr UINT_PTR kRepaintTimerId = 1;
inline constexpr UINT kRepaintPeriodMs = 50;

struct WindowOrigin {
    int x;
    int y;
};

// Centres the fixed-size window on a screen; an axis on which the screen is
// smaller than the window starts at 0.
WindowOrigin centred_origin(int screen_width, int screen_height);

using WorkerBody = void (*)(HWND window) noexcept;

// The thread bodies the window launches: the preparation worker on creation,
// the transfer worker after the user's Yes. Tests of the window swap in
// their own bodies before the window exists.
struct WorkerBodies {
    WorkerBody preparation;
    WorkerBody transfer;
};
extern WorkerBodies worker_bodies;

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) noexcept;

// Joins the finished preparation worker and starts the transfer worker.
void start_transfer(HWND window);

// The whole life of the program after the entry point: DPI awareness, GDI+,
// the window and its message loop. Returns the process exit code.
int run_application(HINSTANCE instance, int show_command);
