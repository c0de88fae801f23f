#include "tests/support/window_driver.h"

#include "app/main_window.h"
#include "tests/support/wait.h"

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

// A box is shown once its dialog has made its controls: its text and its
// buttons are there to read and press.
bool laid_out(HWND box) {
    return !message_box_text(box).empty() &&
           FindWindowExW(box, nullptr, L"Button", nullptr) != nullptr;
}

}  // namespace

HWND find_message_box(const std::wstring& caption) {
    BoxSearch search{&caption, nullptr};
    EnumWindows(match_box, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND wait_for_main_window(DWORD timeout_ms) {
    HWND window = nullptr;
    const bool found = wait_until(
        [&] {
            window = FindWindowW(kWindowClass, nullptr);
            return window != nullptr;
        },
        timeout_ms);
    return found ? window : nullptr;
}

HWND wait_for_message_box(const std::wstring& caption, DWORD timeout_ms) {
    HWND box = nullptr;
    const bool shown = wait_until(
        [&] {
            box = find_message_box(caption);
            return box != nullptr && laid_out(box);
        },
        timeout_ms);
    return shown ? box : nullptr;
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

VARIANT child_variant(LONG child) {
    VARIANT variant{};
    variant.vt = VT_I4;
    variant.lVal = child;
    return variant;
}
