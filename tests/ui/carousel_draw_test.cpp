// The carousel's per-frame blend against a GDI+ draw of the same scaled copy
// through an alpha colour matrix, on the painter's surface settings: both
// must land on the same pixels, at every opacity and at the half-pixel
// offsets the fit-inside scaling produces.
#include <gtest/gtest.h>

#include <windows.h>
#include <gdiplus.h>

#include <cstdlib>
#include <vector>

#include "tests/support/memory_surface.h"
#include "ui/carousel.h"
#include "ui/layout.h"

namespace {

constexpr Gdiplus::ARGB kBackground = 0xFF12161F;

class GdiplusSession {
public:
    GdiplusSession() {
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&token_, &input, nullptr);
    }
    GdiplusSession(const GdiplusSession&) = delete;
    GdiplusSession& operator=(const GdiplusSession&) = delete;
    ~GdiplusSession() {
        release_carousel();
        Gdiplus::GdiplusShutdown(token_);
    }

private:
    ULONG_PTR token_ = 0;
};

struct Draw {
    int slot;
    float opacity;
};

void prepare(Gdiplus::Graphics& graphics) {
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeNearestNeighbor);
    graphics.Clear(Gdiplus::Color(kBackground));
}

std::vector<std::uint32_t> drawn_by_carousel(MemorySurface& surface, const LayoutRect& area,
                                             const std::vector<Draw>& draws) {
    {
        Gdiplus::Graphics graphics(surface.dc.get());
        prepare(graphics);
        for (const Draw& draw : draws) {
            draw_carousel_picture(graphics, area, draw.slot, draw.opacity);
        }
    }
    return surface.pixels();
}

// The scaled copy drawn 1:1 through a colour matrix whose alpha entry is the
// opacity, at the centred floating-point position.
std::vector<std::uint32_t> drawn_by_colour_matrix(MemorySurface& surface, const LayoutRect& area,
                                                  const std::vector<Draw>& draws) {
    {
        Gdiplus::Graphics graphics(surface.dc.get());
        prepare(graphics);
        for (const Draw& draw : draws) {
            const int width = carousel.scaled_widths[draw.slot];
            const int height = carousel.scaled_heights[draw.slot];
            Gdiplus::ColorMatrix matrix = {{{1, 0, 0, 0, 0},
                                            {0, 1, 0, 0, 0},
                                            {0, 0, 1, 0, 0},
                                            {0, 0, 0, draw.opacity, 0},
                                            {0, 0, 0, 0, 1}}};
            Gdiplus::ImageAttributes attributes;
            attributes.SetColorMatrix(&matrix, Gdiplus::ColorMatrixFlagsDefault,
                                      Gdiplus::ColorAdjustTypeBitmap);
            const Gdiplus::RectF target(area.x + (area.width - static_cast<float>(width)) * 0.5f,
                                        area.y + (area.height - static_cast<float>(height)) * 0.5f,
                                        static_cast<float>(width), static_cast<float>(height));
            graphics.DrawImage(carousel.scaled_pictures[draw.slot].get(), target, 0.0f, 0.0f,
                               static_cast<float>(width), static_cast<float>(height),
                               Gdiplus::UnitPixel, &attributes);
        }
    }
    return surface.pixels();
}

// Largest channel difference over the whole surface.
int largest_difference(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    int largest = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        for (int shift = 0; shift <= 16; shift += 8) {
            const int difference = std::abs(static_cast<int>((a[i] >> shift) & 0xFF) -
                                            static_cast<int>((b[i] >> shift) & 0xFF));
            largest = std::max(largest, difference);
        }
    }
    return largest;
}

}  // namespace

TEST(CarouselDraw, BlendGivesTheColourMatrixPixelsAtEveryOpacityAndOffset) {
    GdiplusSession session;
    for (int slot = 0; slot < kCarouselSlots; ++slot) {
        ASSERT_TRUE(load_carousel_picture(GetModuleHandleW(nullptr), kFirstBannerResource + slot,
                                          slot));
    }
    struct Case {
        int width, height;  // client size
        std::vector<Draw> draws;
    };
    const Case cases[] = {
        {840, 500, {{0, 1.0f}}},                 // 840 x 315 at y 84.5
        {840, 500, {{0, 1.0f}, {1, 0.0f}}},      // outside a fade: no change
        {840, 500, {{0, 1.0f}, {1, 0.5f}}},      // mid-crossfade
        {840, 500, {{2, 1.0f}, {3, 0.004f}}},    // a fade just begun
        {840, 500, {{3, 1.0f}, {0, 0.999f}}},    // a fade about to end
        {1600, 700, {{1, 1.0f}, {2, 0.25f}}},    // height-bound: 1339 x 502 at x 130.5
        {1001, 777, {{0, 1.0f}, {1, 0.75f}}},    // fractional band edges
    };
    for (const Case& c : cases) {
        const LayoutRect area = compute_layout(c.width, c.height).carousel_rect;
        MemorySurface surface(c.width, c.height);
        const std::vector<std::uint32_t> fast = drawn_by_carousel(surface, area, c.draws);
        const std::vector<std::uint32_t> reference = drawn_by_colour_matrix(surface, area, c.draws);
        // Each blend rounds an 8-bit alpha product, the two ways may differ by
        // one step per draw; a misplaced row or column differs by far more.
        EXPECT_LE(largest_difference(fast, reference), static_cast<int>(c.draws.size()))
            << c.width << "x" << c.height << ", " << c.draws.size() << " draws, last opacity "
            << c.draws.back().opacity;
    }
}
