#include "tests/support/window_driver.h"

#include "app/main_window.h"

namespace {

struct BoxSearch {
    const std::wstring* caption;
    HWND found;
};

BOOL CALLBACK match_box(HWND window, LPARAM lparam) {
    auto* search = reinterpret_cast<BoxSearch*>(lparam);
    wchar_t class_name[16] = {};
    GetClassNameW(window, class_name, 16);
    if (IsWindowVisible(window) && std::wstring(class_name) == L"#32770" &&
        window_text(window) == *search->caption) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

template <typename Find>
HWND poll(DWORD timeout_ms, Find find) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        if (HWND found = find()) {
            return found;
        }
        if (GetTickCount64() >= deadline) {
            return nullptr;
        }
        Sleep(20);
    }
}

}  // namespace

HWND find_message_box(const std::wstring& caption) {
    BoxSearch search{&caption, nullptr};
    EnumWindows(match_box, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND wait_for_main_window(DWORD timeout_ms) {
    return poll(timeout_ms, [] { return FindWindowW(kWindowClass, nullptr); });
}

HWND wait_for_message_box(const std::wstring& caption, DWORD timeout_ms) {
    HWND box = poll(timeout_ms, [&] { return find_message_box(caption); });
    if (box != nullptr) {
        Sleep(100);  // let the box finish laying out its text and buttons
    }
    return box;
}

std::wstring window_text(HWND window) {
    wchar_t buffer[1024] = {};
    GetWindowTextW(window, buffer, 1024);
    return buffer;
}

std::wstring message_box_text(HWND box) {
    wchar_t buffer[1024] = {};
    GetDlgItemTextW(box, 0xFFFF, buffer, 1024);
    return buffer;
}

bool press_message_box_button(HWND box, int button_id) {
    HWND button = GetDlgItem(box, button_id);
    if (button == nullptr) {
        return false;
    }
    SendMessageW(button, BM_CLICK, 0, 0);
    return true;
}
