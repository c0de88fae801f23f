#include "tests/support/window_capture.h"

#include <gdiplus.h>

#include <cstdlib>

#include "tests/support/memory_surface.h"

namespace {

Capture capture_dc(HDC source, int width, int height) {
    Capture capture;
    if (width <= 0 || height <= 0) {
        return capture;
    }
    const MemorySurface surface(width, height);
    BitBlt(surface.dc.get(), 0, 0, width, height, source, 0, 0, SRCCOPY);
    capture.width = width;
    capture.height = height;
    capture.pixels = surface.pixels();
    return capture;
}

}  // namespace

Capture capture_client(HWND window) {
    RECT client{};
    GetClientRect(window, &client);
    HDC dc = GetDC(window);
    Capture capture = capture_dc(dc, client.right, client.bottom);
    ReleaseDC(window, dc);
    return capture;
}

Capture capture_screen() {
    HDC dc = GetDC(nullptr);
    Capture capture =
        capture_dc(dc, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    ReleaseDC(nullptr, dc);
    return capture;
}

bool save_png(const Capture& capture, const std::wstring& path) {
    // image/png
    const CLSID png = {0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
    std::vector<std::uint32_t> pixels = capture.pixels;
    Gdiplus::Bitmap bitmap(capture.width, capture.height, capture.width * 4,
                           PixelFormat32bppRGB, reinterpret_cast<BYTE*>(pixels.data()));
    return bitmap.Save(path.c_str(), &png, nullptr) == Gdiplus::Ok;
}

std::wstring screenshot_path(const std::wstring& name) {
    wchar_t folder[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"TALVOREN_SCREENSHOTS", folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return name;
    }
    CreateDirectoryW(folder, nullptr);
    return std::wstring(folder) + L"\\" + name;
}

bool colour_near(std::uint32_t actual, std::uint32_t expected, int tolerance) {
    for (int shift = 0; shift <= 16; shift += 8) {
        const int a = static_cast<int>((actual >> shift) & 0xFF);
        const int e = static_cast<int>((expected >> shift) & 0xFF);
        if (std::abs(a - e) > tolerance) {
            return false;
        }
    }
    return true;
}
