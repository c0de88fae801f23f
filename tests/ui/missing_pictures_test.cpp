// A build whose banner resources are missing: every slot shows the red
// message in the carousel band, and the rest of the window still paints.
#include <gtest/gtest.h>

#include "tests/support/run_window.h"
#include "tests/support/window_capture.h"
#include "ui/carousel.h"
#include "ui/layout.h"

TEST(WindowPaint, MissingPicturesShowTheRedMessageCentredInTheBand) {
    bool any_slot_loaded = true;
    int left = 100000;
    int right = -1;
    int width = 0;
    const int exit_code = run_window_with({no_work, no_work}, [&](HWND window) {
        on_window_thread(window, [&] {
            any_slot_loaded = carousel.source_pictures[0] || carousel.source_pictures[1] ||
                              carousel.source_pictures[2] || carousel.source_pictures[3];
        });
        const Capture capture = capture_next_frame(window);
        save_png(capture_screen(), screenshot_path(L"missing-pictures.png"));
        width = capture.width;
        const LayoutRect band = compute_layout(capture.width, capture.height).carousel_rect;
        for (int y = static_cast<int>(band.y); y < static_cast<int>(band.y + band.height); ++y) {
            for (int x = 0; x < capture.width; ++x) {
                const std::uint32_t pixel = capture.at(x, y);
                if (((pixel >> 16) & 0xFF) > 170 && ((pixel >> 8) & 0xFF) < 110) {
                    left = std::min(left, x);
                    right = std::max(right, x);
                }
            }
        }
    });
    EXPECT_EQ(exit_code, 0);
    EXPECT_FALSE(any_slot_loaded);
    ASSERT_GE(right, left) << "no red message in the carousel band";
    EXPECT_NEAR((left + right) / 2.0, width / 2.0, 4.0);
}
