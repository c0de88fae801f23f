// Paint cost per frame, run by hand under Wine: the whole frame against the
// same frame less its two carousel draws, at the default client size and at
// full HD, outside and during a crossfade. Prints medians in milliseconds.
#include <windows.h>
#include <gdiplus.h>

#include <cstdio>
#include <vector>

#include "tests/bench/bench_clock.h"

#include "ui/carousel.h"
#include "ui/layout.h"
#include "ui/painter.h"

namespace {



void measure(int width, int height, std::uint64_t elapsed, const char* label) {
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    const ProgressSnapshot snapshot{Downloading, 300ull << 20, 700ull << 20};
    const WindowLayout layout = compute_layout(width, height);
    const CarouselFrame frame = carousel_frame(elapsed);
    // Every frame is drawn in full here: the painter's reuse of an unchanged
    // frame is not what this measures.

    std::vector<double> frames;
    std::vector<double> carousel_only;
    for (int i = 0; i < 80; ++i) {
        // Interleaved, so both series see the same machine load.
        double start = now_ms();
        {
            Gdiplus::Graphics graphics(memory);
            draw_frame(graphics, compose_frame(width, height, elapsed, snapshot));
        }
        BitBlt(screen, 0, 0, 1, 1, memory, 0, 0, SRCCOPY);
        frames.push_back(now_ms() - start);

        Gdiplus::Graphics graphics(memory);
        graphics.SetInterpolationMode(Gdiplus::InterpolationModeNearestNeighbor);
        start = now_ms();
        draw_carousel_picture(graphics, layout.carousel_rect, frame.current, 1.0f);
        draw_carousel_picture(graphics, layout.carousel_rect, frame.next, frame.fade);
        carousel_only.push_back(now_ms() - start);
    }
    const double whole = median(frames);
    const double without = whole - median(carousel_only);
    std::printf("%-22s %4dx%-4d frame %6.2f ms  without carousel %6.2f ms  ratio %.2f\n", label,
                width, height, whole, without, whole / without);
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

}  // namespace

int main() {
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
    for (int slot = 0; slot < kCarouselSlots; ++slot) {
        load_carousel_picture(GetModuleHandleW(nullptr), kFirstBannerResource + slot, slot);
    }
    for (const auto& size : {std::pair{840, 500}, std::pair{1920, 1080}}) {
        measure(size.first, size.second, 2000, "outside a crossfade");
        measure(size.first, size.second, 5500, "during a crossfade");
    }
    release_carousel();
    Gdiplus::GdiplusShutdown(token);
    return 0;
}
