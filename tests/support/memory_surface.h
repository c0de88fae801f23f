// An off-screen surface like the painter's back buffer: a memory DC holding
// a bitmap compatible with the screen, for drawing outside any window.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "app/handles.h"

inline HBITMAP create_screen_bitmap(int width, int height) {
    HDC screen = GetDC(nullptr);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    ReleaseDC(nullptr, screen);
    return bitmap;
}

struct MemorySurface {
    int width;
    int height;
    UniqueMemoryDc dc;
    UniqueGdiBitmap bitmap;
    SelectionScope selection;

    MemorySurface(int surface_width, int surface_height)
        : width(surface_width),
          height(surface_height),
          dc(CreateCompatibleDC(nullptr)),
          bitmap(create_screen_bitmap(surface_width, surface_height)),
          selection(dc.get(), bitmap.get()) {}

    // 0x00RRGGBB, top row first.
    std::vector<std::uint32_t> pixels() const {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        std::vector<std::uint32_t> result(static_cast<size_t>(width) * height);
        GdiFlush();
        GetDIBits(dc.get(), bitmap.get(), 0, height, result.data(), &info, DIB_RGB_COLORS);
        for (std::uint32_t& pixel : result) {
            pixel &= 0x00FFFFFF;
        }
        return result;
    }
};
