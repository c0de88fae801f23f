// Command-line probe that the end-to-end tests run under Wine beside the
// downloader: it finds the main window and its message boxes, reads them and
// presses their buttons. Prints UTF-8; exit code 0 on success, 1 when what
// was asked for did not happen, 2 on bad usage.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "app/main_window.h"
#include "tests/support/window_driver.h"

namespace {

void print_utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes.data(), size, nullptr, nullptr);
    std::fputs(bytes.c_str(), stdout);
    std::fputs("\n", stdout);
}

DWORD number(const wchar_t* text) {
    return static_cast<DWORD>(std::wcstoul(text, nullptr, 10));
}

int button_id(const std::wstring& name) {
    if (name == L"yes") return IDYES;
    if (name == L"no") return IDNO;
    if (name == L"ok") return IDOK;
    return 0;
}

int window_info(HWND window) {
    RECT outer{};
    GetWindowRect(window, &outer);
    wchar_t class_name[64] = {};
    GetClassNameW(window, class_name, 64);
    print_utf8(L"class=" + std::wstring(class_name));
    print_utf8(L"title=" + window_text(window));
    std::printf("x=%ld\ny=%ld\nwidth=%ld\nheight=%ld\nscreen_width=%d\nscreen_height=%d\n",
                outer.left, outer.top, outer.right - outer.left, outer.bottom - outer.top,
                GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    std::printf("iconic=%d\nvisible=%d\n", IsIconic(window) ? 1 : 0, IsWindowVisible(window) ? 1 : 0);
    return 0;
}

// Opens `path` the way another program would while the downloader holds it:
// read, write or delete access, with every kind of sharing offered so that
// only the downloader's own share mode can refuse.
int try_open(const std::wstring& path, const std::wstring& access_name) {
    DWORD access = 0;
    if (access_name == L"read") access = GENERIC_READ;
    if (access_name == L"write") access = GENERIC_WRITE;
    if (access_name == L"delete") access = DELETE;
    if (access == 0) {
        return 2;
    }
    HANDLE file = CreateFileW(path.c_str(), access,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("error=%lu\n", GetLastError());
        return 1;
    }
    CloseHandle(file);
    std::puts("opened");
    return 0;
}

// Keeps `path` open for reading without write sharing for `ms`, as an
// archive viewer holding the package would; prints "held" once it has it.
int hold_open(const std::wstring& path, DWORD ms) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("error=%lu\n", GetLastError());
        return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    Sleep(ms);
    CloseHandle(file);
    return 0;
}

int usage() {
    std::fputs("usage: window_probe wait-window MS | info | close | resize W H | minimize | restore\n"
               "       wait-box CAPTION MS | press-box CAPTION yes|no|ok MS | no-box CAPTION MS\n"
               "       try-open FILE read|write|delete | hold-open FILE MS\n",
               stderr);
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return usage();
    }
    const std::wstring command = argv[1];
    if (command == L"wait-window" && argc == 3) {
        return wait_for_main_window(number(argv[2])) != nullptr ? 0 : 1;
    }
    if (command == L"wait-box" && argc == 4) {
        HWND box = wait_for_message_box(argv[2], number(argv[3]));
        if (box == nullptr) {
            return 1;
        }
        print_utf8(message_box_text(box));
        return 0;
    }
    if (command == L"press-box" && argc == 5) {
        HWND box = wait_for_message_box(argv[2], number(argv[4]));
        if (box == nullptr) {
            return 1;
        }
        print_utf8(message_box_text(box));
        return press_message_box_button(box, button_id(argv[3])) ? 0 : 1;
    }
    if (command == L"no-box" && argc == 4) {
        Sleep(number(argv[3]));
        return find_message_box(argv[2]) == nullptr ? 0 : 1;
    }
    if (command == L"try-open" && argc == 4) {
        return try_open(argv[2], argv[3]);
    }
    if (command == L"hold-open" && argc == 4) {
        return hold_open(argv[2], number(argv[3]));
    }
    HWND window = FindWindowW(kWindowClass, nullptr);
    if (window == nullptr) {
        std::fputs("no main window\n", stderr);
        return 1;
    }
    if (command == L"info" && argc == 2) {
        return window_info(window);
    }
    if (command == L"close" && argc == 2) {
        return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
    }
    if (command == L"resize" && argc == 4) {
        SetWindowPos(window, nullptr, 0, 0, static_cast<int>(number(argv[2])),
                     static_cast<int>(number(argv[3])), SWP_NOMOVE | SWP_NOZORDER);
        return window_info(window);
    }
    if (command == L"minimize" && argc == 2) {
        ShowWindow(window, SW_MINIMIZE);
        return 0;
    }
    if (command == L"restore" && argc == 2) {
        ShowWindow(window, SW_RESTORE);
        return 0;
    }
    return usage();
}
