#include "app/main_window.h"

#include <gdiplus.h>

#include "app/download_state.h"
#include "app/system_libraries.h"
#include "net/workers.h"
#include "res/resource_ids.h"
#include "ui/accessible_window.h"
#include "ui/carousel.h"
#include "ui/painter.h"

WorkerBodies worker_bodies{PreparationWorker, TransferWorker};

WindowOrigin centred_origin(int screen_width, int screen_height) {
    const int x = (screen_width - kWindowWidth) / 2;
    const int y = (screen_height - kWindowHeight) / 2;
    return {x > 0 ? x : 0, y > 0 ? y : 0};
}

namespace {

void invalidate(HWND window) {
    InvalidateRect(window, nullptr, FALSE);
}

void start_repaint_timer(HWND window) {
    SetTimer(window, kRepaintTimerId, kRepaintPeriodMs, nullptr);
}

// At most one worker exists: whoever launches the next one has joined the
// previous one first. A failed start or join throws inside a noexcept caller
// and so ends the process, as it must: the download state would be unusable
// after it.
void join_worker() {
    if (download_state.worker_thread.joinable()) {
        download_state.worker_thread.join();
    }
}

void launch_worker(HWND window, WorkerBody body) {
    download_state.worker_thread = std::thread(body, window);
}

LRESULT on_create(HWND window, const CREATESTRUCTW* create) {
    download_state.start_tick = GetTickCount64();
    for (int slot = 0; slot < kCarouselSlots; ++slot) {
        load_carousel_picture(create->hInstance, kFirstBannerResource + slot, slot);
    }
    start_repaint_timer(window);
    launch_worker(window, worker_bodies.preparation);
    return 0;
}

LRESULT on_destroy(HWND window) {
    KillTimer(window, kRepaintTimerId);
    download_state.cancel_requested.exchange(true);
    join_worker();
    release_back_buffer();
    release_carousel();
    PostQuitMessage(0);
    return 0;
}

// Readers may still ask for the object while the window is torn down; only
// its very last message lets go of it.
LRESULT on_nc_destroy(HWND window, WPARAM wparam, LPARAM lparam) {
    detach_accessible_window(window);
    return DefWindowProcW(window, WM_NCDESTROY, wparam, lparam);
}

// Logoff, shutdown and a Restart Manager close are never refused.
LRESULT on_query_end_session() {
    return TRUE;
}

// Windows may end the process as soon as this returns, without WM_DESTROY,
// so a running transfer is cancelled and joined here: the worker deletes its
// partial file first. The join is bounded by the worker's own time-outs.
// Whatever runs, no transfer starts after an ended session. A Restart Manager
// close also closes the window, as WM_CLOSE would, before answering.
LRESULT on_end_session(HWND window, WPARAM ending, LPARAM reasons) {
    if (ending == FALSE) {
        return 0;
    }
    download_state.cancel_requested.exchange(true);
    if (download_state.phase.load() == Downloading) {
        join_worker();
    }
    if ((reasons & ENDSESSION_CLOSEAPP) != 0) {
        DestroyWindow(window);
    }
    return 0;
}

LRESULT on_size(HWND window, WPARAM size_type) {
    if (size_type == SIZE_MINIMIZED) {
        KillTimer(window, kRepaintTimerId);
        return 0;
    }
    start_repaint_timer(window);
    invalidate(window);
    return 0;
}

LRESULT on_paint(HWND window) {
    paint_window(window);
    announce_changes(window);
    announce_outcome_on_return(window);
    return 0;
}

LRESULT on_get_min_max_info(MINMAXINFO* info) {
    info->ptMinTrackSize = {kMinTrackWidth, kMinTrackHeight};
    return 0;
}

LRESULT on_timer(HWND window, WPARAM timer_id) {
    if (timer_id == kRepaintTimerId && !IsIconic(window) && IsWindowVisible(window)) {
        invalidate(window);
    }
    return 0;
}

LRESULT on_confirm(HWND window) {
    // The ready state goes on screen before the modal box covers the loop.
    invalidate(window);
    UpdateWindow(window);
    const int answer = MessageBoxW(window, L"即将下载Talvoren软件包, 是否继续?", L"下载确认",
                                   MB_YESNO | MB_ICONQUESTION);
    // The session ended, or the window went, while the box was up: whatever
    // the answer, nothing starts and the window is left as it is.
    if (download_state.cancel_requested.load()) {
        return 0;
    }
    if (answer == IDYES) {
        start_transfer(window);
    } else {
        download_state.phase.exchange(Cancelled);
        set_status_text(L"用户已取消下载");
    }
    announce_changes(window);
    invalidate(window);
    return 0;
}

// Flashes the taskbar button until the user brings the window forward: asks
// for attention without taking the focus from what the user is doing.
void ask_for_attention(HWND window) {
    if (GetForegroundWindow() == window) {
        return;
    }
    FLASHWINFO flash{sizeof(flash), window, FLASHW_TRAY | FLASHW_TIMERNOFG, 0, 0};
    FlashWindowEx(&flash);
}

// The status line that goes with the box is announced before the box opens.
LRESULT show_message_text(HWND window, const wchar_t* caption, UINT style) {
    announce_changes(window);
    const std::wstring text = copy_message_text();
    MessageBoxW(window, text.c_str(), caption, style);
    invalidate(window);
    return 0;
}

LRESULT on_failed(HWND window) {
    ask_for_attention(window);
    announce_outcome(window);
    return show_message_text(window, L"下载失败", MB_ICONERROR);
}

// Also reached while minimised, when nothing is painted: the outcome is
// announced here, not by the next paint.
LRESULT on_completed(HWND window) {
    announce_outcome(window);
    ask_for_attention(window);
    invalidate(window);
    return 0;
}

}  // namespace

void start_transfer(HWND window) {
    join_worker();
    download_state.bytes_received.exchange(0);
    download_state.phase.exchange(Downloading);
    set_status_text(L"正在下载Talvoren软件包");
    launch_worker(window, worker_bodies.transfer);
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) noexcept {
    switch (message) {
    case WM_CREATE:
        return on_create(window, reinterpret_cast<const CREATESTRUCTW*>(lparam));
    case WM_DESTROY:
        return on_destroy(window);
    case WM_NCDESTROY:
        return on_nc_destroy(window, wparam, lparam);
    case WM_QUERYENDSESSION:
        return on_query_end_session();
    case WM_ENDSESSION:
        return on_end_session(window, wparam, lparam);
    case WM_SIZE:
        return on_size(window, wparam);
    case WM_PAINT:
        return on_paint(window);
    case WM_ERASEBKGND:
        return 1;  // the painter covers every pixel
    case WM_GETMINMAXINFO:
        return on_get_min_max_info(reinterpret_cast<MINMAXINFO*>(lparam));
    case WM_TIMER:
        return on_timer(window, wparam);
    case WM_GETOBJECT:
        return answer_get_object(window, wparam, lparam);
    case WM_APP_CONFIRM:
        return on_confirm(window);
    case WM_APP_DISK_WARNING:
        return show_message_text(window, L"磁盘空间不足", MB_ICONWARNING);
    case WM_APP_FAILED:
        return on_failed(window);
    case WM_APP_COMPLETED:
        return on_completed(window);
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

namespace {

HICON load_icon(HINSTANCE instance, int width_metric, int height_metric) {
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP_ICON), IMAGE_ICON,
                                         GetSystemMetrics(width_metric),
                                         GetSystemMetrics(height_metric), 0));
}

bool register_window_class(HINSTANCE instance) {
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof(window_class);
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = main_window_proc;
    window_class.hInstance = instance;
    window_class.hIcon = load_icon(instance, SM_CXICON, SM_CYICON);
    window_class.hIconSm = load_icon(instance, SM_CXSMICON, SM_CYSMICON);
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.lpszClassName = kWindowClass;
    return RegisterClassExW(&window_class) != 0;
}

HWND create_main_window(HINSTANCE instance) {
    const WindowOrigin origin =
        centred_origin(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    return CreateWindowExW(0, kWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW, origin.x, origin.y,
                           kWindowWidth, kWindowHeight, nullptr, nullptr, instance, nullptr);
}

int run_message_loop() {
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

}  // namespace

int run_application(HINSTANCE instance, int show_command) {
    SetProcessDPIAware();

    Gdiplus::GdiplusStartupInput startup_input;
    ULONG_PTR gdiplus_token = 0;
    if (!load_system_library(gdiplus_imports) ||
        Gdiplus::GdiplusStartup(&gdiplus_token, &startup_input, nullptr) != Gdiplus::Ok) {
        MessageBoxW(nullptr, L"无法初始化 GDI+", L"启动失败", MB_ICONERROR);
        return 1;
    }

    HWND window = nullptr;
    if (register_window_class(instance)) {
        window = create_main_window(instance);
    }
    if (window == nullptr) {
        Gdiplus::GdiplusShutdown(gdiplus_token);
        return 1;
    }
    ShowWindow(window, show_command);
    UpdateWindow(window);

    const int exit_code = run_message_loop();
    end_accessibility();
    Gdiplus::GdiplusShutdown(gdiplus_token);
    return exit_code;
}
