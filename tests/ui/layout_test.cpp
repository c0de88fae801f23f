#include <gtest/gtest.h>

#include "ui/layout.h"

namespace {

void expect_rect(const LayoutRect& rect, float x, float y, float width, float height) {
    EXPECT_FLOAT_EQ(rect.x, x);
    EXPECT_FLOAT_EQ(rect.y, y);
    EXPECT_FLOAT_EQ(rect.width, width);
    EXPECT_FLOAT_EQ(rect.height, height);
}

}  // namespace

TEST(Layout, DefaultClientAreaGivesTheWorkedRectangles) {
    const WindowLayout layout = compute_layout(840, 500);
    EXPECT_FLOAT_EQ(layout.margin, 29.4f);
    EXPECT_FLOAT_EQ(layout.header_height, 84.0f);
    EXPECT_FLOAT_EQ(layout.footer_height, 100.0f);
    expect_rect(layout.header_rect, 0, 0, 840, 84);
    expect_rect(layout.carousel_rect, 0, 84, 840, 316);
    expect_rect(layout.footer_rect, 0, 400, 840, 100);
    expect_rect(layout.progress_text_rect, 29.4f, 414, 781.2f, 30);
    expect_rect(layout.track_rect, 29.4f, 456, 781.2f, 18);
    expect_rect(progress_area(layout), 29.4f, 414, 781.2f, 60);
}

TEST(Layout, MarginHeaderAndFooterStayWithinTheirBounds) {
    struct Case {
        int width, height;
        float margin, header, footer;
    };
    const Case cases[] = {
        {1600, 1000, 48, 126, 138},  // both grown past the upper bounds
        {3840, 2160, 48, 126, 138},
        {400, 300, 20, 84, 100},     // below the lower bounds
        {704, 481, 24.64f, 84, 100},
        {1000, 800, 35, 112, 112},   // between the bounds: 0.14 × H for both
        {1000, 950, 35, 126, 133},
    };
    for (const Case& c : cases) {
        const WindowLayout layout = compute_layout(c.width, c.height);
        EXPECT_FLOAT_EQ(layout.margin, c.margin) << c.width << "x" << c.height;
        EXPECT_FLOAT_EQ(layout.header_height, c.header) << c.width << "x" << c.height;
        EXPECT_FLOAT_EQ(layout.footer_height, c.footer) << c.width << "x" << c.height;
        EXPECT_FLOAT_EQ(layout.carousel_rect.height,
                        static_cast<float>(c.height) - c.header - c.footer);
        EXPECT_FLOAT_EQ(layout.track_rect.y, static_cast<float>(c.height) - c.footer + 56);
    }
}

TEST(CarouselTiming, EachSlotShowsSixSecondsAndFadesInItsLastSecond) {
    struct Case {
        std::uint64_t elapsed_ms;
        int current, next;
        float fade;
    };
    const Case cases[] = {
        {0, 0, 1, 0.0f},       {4990, 0, 1, 0.0f},     {5000, 0, 1, 0.0f},
        {5250, 0, 1, 0.25f},   {5500, 0, 1, 0.5f},     {5999, 0, 1, 0.999f},
        {6000, 1, 2, 0.0f},    {11500, 1, 2, 0.5f},    {12000, 2, 3, 0.0f},
        {18000, 3, 0, 0.0f},   {23500, 3, 0, 0.5f},    {24000, 0, 1, 0.0f},
        {24000ull * 1000 + 5250, 0, 1, 0.25f},  // a thousand cycles later
    };
    for (const Case& c : cases) {
        const CarouselFrame frame = carousel_frame(c.elapsed_ms);
        EXPECT_EQ(frame.current, c.current) << c.elapsed_ms;
        EXPECT_EQ(frame.next, c.next) << c.elapsed_ms;
        EXPECT_NEAR(frame.fade, c.fade, 1e-4) << c.elapsed_ms;
    }
}

TEST(CarouselScaling, PicturesFitWholeInsideTheArea) {
    struct Case {
        float area_width, area_height;
        int picture_width, picture_height, width, height;
    };
    const Case cases[] = {
        {840, 316, 800, 300, 840, 315},   // width-bound: 1.05
        {700, 400, 800, 300, 700, 263},   // 262.5 rounds away from zero
        {800, 300, 800, 300, 800, 300},
        {1600, 300, 800, 300, 800, 300},  // height-bound
        {2, 2, 800, 300, 2, 1},
        {1, 1, 800, 300, 1, 1},           // never below one pixel
    };
    for (const Case& c : cases) {
        const ScaledSize size =
            fit_inside(c.area_width, c.area_height, c.picture_width, c.picture_height);
        EXPECT_EQ(size.width, c.width) << c.area_width << "x" << c.area_height;
        EXPECT_EQ(size.height, c.height) << c.area_width << "x" << c.area_height;
    }
}
