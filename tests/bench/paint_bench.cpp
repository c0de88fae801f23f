// Paint cost per frame, run by hand under Wine: the whole frame against the
// same frame drawn without its two carousel draws, at the default client
// size and at full HD, outside and during a crossfade. Prints medians in
// milliseconds.
#include <windows.h>
#include <gdiplus.h>

#include <cstdio>
#include <vector>

#include "app/system_libraries.h"
#include "tests/bench/bench_clock.h"
#include "tests/support/memory_surface.h"
#include "ui/carousel.h"
#include "ui/layout.h"
#include "ui/painter.h"

namespace {

// One frame into the back buffer and its copy out, as a paint does; with or
// without the two carousel draws between the header and the footer.
double time_frame(HDC memory, HDC window, int width, int height, std::uint64_t elapsed,
                  bool with_carousel) {
    const ProgressSnapshot snapshot{Downloading, 300ull << 20, 700ull << 20};
    const double start = now_ms();
    {
        const FrameContent frame = compose_frame(width, height, elapsed, snapshot);
        Gdiplus::Graphics graphics(memory);
        if (with_carousel) {
            draw_frame(graphics, frame);
        } else {
            const WindowLayout layout = compute_layout(width, height);
            draw_header(graphics, frame, layout);
            draw_footer(graphics, frame, layout);
        }
    }
    BitBlt(window, 0, 0, width, height, memory, 0, 0, SRCCOPY);
    GdiFlush();
    return now_ms() - start;
}

void measure(int width, int height, std::uint64_t elapsed, const char* label) {
    // The painter's reuse of an unchanged frame is not what is measured:
    // every frame here is drawn in full. The second surface stands in for the
    // window the back buffer is copied to.
    const MemorySurface buffer(width, height);
    const MemorySurface window(width, height);
    std::vector<double> whole;
    std::vector<double> without_carousel;
    for (int i = 0; i < 80; ++i) {
        // Interleaved, so both series see the same machine load.
        whole.push_back(
            time_frame(buffer.dc.get(), window.dc.get(), width, height, elapsed, true));
        without_carousel.push_back(
            time_frame(buffer.dc.get(), window.dc.get(), width, height, elapsed, false));
    }
    const double with = median(whole);
    const double without = median(without_carousel);
    std::printf("%-20s %4dx%-4d frame %6.2f ms  without carousel %6.2f ms  ratio %.2f\n", label,
                width, height, with, without, with / without);
}

}  // namespace

int main() {
    if (!load_system_library(gdiplus_imports)) {
        return 1;
    }
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
