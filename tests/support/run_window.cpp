#include "tests/support/run_window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "tests/support/window_driver.h"

namespace {

std::atomic<int> paints{0};
std::atomic<int> timer_ticks[kCountedTimers];

UINT task_message() {
    static const UINT message = RegisterWindowMessageW(L"talvoren-test-task");
    return message;
}

bool is_main_window(HWND window) {
    wchar_t class_name[64] = {};
    GetClassNameW(window, class_name, 64);
    return std::wstring(class_name) == kWindowClass;
}

LRESULT CALLBACK count_taken(int code, WPARAM removal, LPARAM lparam) {
    const MSG* message = reinterpret_cast<const MSG*>(lparam);
    if (code == HC_ACTION && removal == PM_REMOVE && is_main_window(message->hwnd)) {
        if (message->message == WM_PAINT) {
            ++paints;
        }
        if (message->message == WM_TIMER && message->wParam < kCountedTimers) {
            ++timer_ticks[message->wParam];
        }
    }
    return CallNextHookEx(nullptr, code, removal, lparam);
}

LRESULT CALLBACK run_sent_task(int code, WPARAM sent_by_thread, LPARAM lparam) {
    const CWPSTRUCT* sent = reinterpret_cast<const CWPSTRUCT*>(lparam);
    if (code == HC_ACTION && sent->message == task_message()) {
        (*reinterpret_cast<const std::function<void()>*>(sent->lParam))();
    }
    return CallNextHookEx(nullptr, code, sent_by_thread, lparam);
}

}  // namespace

int run_window_with(WorkerBodies bodies, const std::function<void(HWND)>& drive,
                    int show_command) {
    worker_bodies = bodies;
    // Both hooks run on this thread, the window's: one counts what the loop
    // takes, the other runs the driver's tasks before the window sees them.
    const DWORD thread = GetCurrentThreadId();
    HHOOK counter = SetWindowsHookExW(WH_GETMESSAGE, count_taken, nullptr, thread);
    HHOOK tasks = SetWindowsHookExW(WH_CALLWNDPROC, run_sent_task, nullptr, thread);
    EXPECT_NE(counter, nullptr);
    EXPECT_NE(tasks, nullptr);
    std::thread driver([&] {
        HWND window = wait_for_main_window(kWaitTimeoutMs);
        if (window == nullptr) {
            ADD_FAILURE() << "main window did not appear";
            return;
        }
        drive(window);
        PostMessageW(window, WM_CLOSE, 0, 0);
    });
    const int exit_code = run_application(GetModuleHandleW(nullptr), show_command);
    driver.join();
    UnhookWindowsHookEx(tasks);
    UnhookWindowsHookEx(counter);
    return exit_code;
}

void on_window_thread(HWND window, const std::function<void()>& task) {
    SendMessageW(window, task_message(), 0, reinterpret_cast<LPARAM>(&task));
}

int paints_taken() {
    return paints.load();
}

int timer_ticks_taken(UINT_PTR timer_id) {
    return timer_ticks[timer_id].load();
}

Capture capture_next_frame(HWND window) {
    // A paint is counted as it is taken, before it is drawn: once a second
    // one is taken, the first has reached the window.
    const int before = paints_taken();
    EXPECT_TRUE(wait_until([&] { return paints_taken() >= before + 2; }))
        << "the window stopped painting";
    return capture_client(window);
}

void no_work(HWND) noexcept {}
