// Start-up time, run by hand under Wine: from CreateProcess to the first
// complete frame on screen, for the downloader and for the minimal GDI+
// window program, alternated in one run. Prints medians in milliseconds.
//
// usage: startup_bench DOWNLOADER.exe MINIMAL.exe
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/bench/bench_clock.h"

namespace {

constexpr COLORREF kMinimalColour = RGB(0x33, 0x66, 0x99);
constexpr COLORREF kBarColour = RGB(0x18, 0x1E, 0x2A);
constexpr COLORREF kBackground = RGB(0x12, 0x16, 0x1F);


COLORREF pixel(HWND window, int x, int y) {
    HDC dc = GetDC(window);
    const COLORREF colour = GetPixel(dc, x, y);
    ReleaseDC(window, dc);
    return colour;
}

// The downloader's frame is complete once its header bar and a banner are
// on screen; the minimal program's once its colour is.
bool frame_complete(HWND window, bool downloader) {
    if (!downloader) {
        return pixel(window, 100, 100) == kMinimalColour;
    }
    const COLORREF banner = pixel(window, 40, 250);
    return pixel(window, 3, 3) == kBarColour && banner != kBackground && banner != CLR_INVALID &&
           banner != 0;
}

double time_start(const std::wstring& exe, const wchar_t* window_class, bool downloader) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    std::wstring command = L"\"" + exe + L"\"";
    const double start = now_ms();
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return -1;
    }
    double elapsed = -1;
    while (now_ms() - start < 20000) {
        HWND window = FindWindowW(window_class, nullptr);
        if (window != nullptr && frame_complete(window, downloader)) {
            elapsed = now_ms() - start;
            PostMessageW(window, WM_CLOSE, 0, 0);
            break;
        }
        Sleep(2);
    }
    if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return elapsed;
}


}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: startup_bench DOWNLOADER.exe MINIMAL.exe\n", stderr);
        return 2;
    }
    std::vector<double> downloader;
    std::vector<double> minimal;
    for (int run = 0; run < 7; ++run) {
        downloader.push_back(time_start(argv[1], L"talvorendownloader", true));
        minimal.push_back(time_start(argv[2], L"minimal_gdiplus_window", false));
    }
    const double a = median(downloader);
    const double b = median(minimal);
    std::printf("first complete frame: downloader %.0f ms, minimal GDI+ window %.0f ms, ratio %.2f\n",
                a, b, a / b);
    return 0;
}
