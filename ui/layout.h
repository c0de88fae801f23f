// Geometry of one frame as a pure function of the client size: header bar,
// carousel band and footer with the progress line and bar, plus the timing
// and fit-inside scaling of the carousel pictures.
#pragma once

#include <cstdint>

struct LayoutRect {
    float x;
    float y;
    float width;
    float height;
};

struct WindowLayout {
    float margin;
    float header_height;
    float footer_height;
    LayoutRect header_rect;
    LayoutRect carousel_rect;
    LayoutRect footer_rect;
    LayoutRect progress_text_rect;
    LayoutRect track_rect;
};

WindowLayout compute_layout(int client_width, int client_height);

// The progress line and the bar under it as one box: the line describes the
// bar, and a reader finds both where the progress is.
LayoutRect progress_area(const WindowLayout& layout);

// The banner pictures the carousel shows in turn.
inline constexpr int kCarouselSlots = 4;

struct CarouselFrame {
    int current;
    int next;
    float fade;  // opacity of `next` over `current`, 0 to below 1

    bool operator==(const CarouselFrame&) const = default;
};

// Each slot shows for 6 s of a 24 s cycle; its last second fades into the
// next. Driven by the wall clock, not by how often the window paints.
CarouselFrame carousel_frame(std::uint64_t elapsed_ms);

struct ScaledSize {
    int width;
    int height;
};

// The largest size at which a picture fits whole inside the area.
ScaledSize fit_inside(float area_width, float area_height, int picture_width, int picture_height);
