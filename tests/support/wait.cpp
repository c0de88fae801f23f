#include "tests/support/wait.h"

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
