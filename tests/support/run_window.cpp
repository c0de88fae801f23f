#include "tests/support/run_window.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/support/window_driver.h"

int run_window_with(WorkerBodies bodies, const std::function<void(HWND)>& drive,
                    int show_command) {
    worker_bodies = bodies;
    std::thread driver([&] {
        HWND window = wait_for_main_window(kWindowTimeoutMs);
        if (window == nullptr) {
            ADD_FAILURE() << "main window did not appear";
            return;
        }
        drive(window);
        PostMessageW(window, WM_CLOSE, 0, 0);
    });
    const int exit_code = run_application(GetModuleHandleW(nullptr), show_command);
    driver.join();
    return exit_code;
}

bool wait_until(const std::function<bool()>& condition, DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (GetTickCount64() < deadline) {
        if (condition()) {
            return true;
        }
        Sleep(10);
    }
    return condition();
}

void no_work(HWND) noexcept {}
