// Reads back what a window shows, for pixel checks and screenshots.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

struct Capture {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;  // 0x00RRGGBB, top row first

    std::uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// The client area of `window` as it is on screen now.
Capture capture_client(HWND window);

// The whole screen (the virtual desktop), message boxes included.
Capture capture_screen();

// Writes a PNG through GDI+, which the program under test has started.
bool save_png(const Capture& capture, const std::wstring& path);

// The folder the screenshots go to: $TALVOREN_SCREENSHOTS, else the
// current folder.
std::wstring screenshot_path(const std::wstring& name);

// Each channel within `tolerance` of the expected 0xRRGGBB colour.
bool colour_near(std::uint32_t actual, std::uint32_t expected, int tolerance);
