#include "ui/layout.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kSlotSeconds = 6.0;
constexpr double kFadeSeconds = 1.0;

float clamp_to(float value, float low, float high) {
    return std::min(std::max(value, low), high);
}

int rounded_at_least_one(float value) {
    return std::max(1, static_cast<int>(std::lround(value)));
}

}  // namespace

WindowLayout compute_layout(int client_width, int client_height) {
    const float w = static_cast<float>(client_width);
    const float h = static_cast<float>(client_height);
    WindowLayout layout{};
    layout.margin = clamp_to(0.035f * w, 20.0f, 48.0f);
    layout.header_height = clamp_to(0.14f * h, 84.0f, 126.0f);
    layout.footer_height = clamp_to(0.14f * h, 100.0f, 138.0f);
    const float top = layout.header_height;
    const float bottom = layout.footer_height;
    const float inner_width = w - 2.0f * layout.margin;
    layout.header_rect = {0.0f, 0.0f, w, top};
    layout.carousel_rect = {0.0f, top, w, h - top - bottom};
    layout.footer_rect = {0.0f, h - bottom, w, bottom};
    layout.progress_text_rect = {layout.margin, h - bottom + 14.0f, inner_width, 30.0f};
    layout.track_rect = {layout.margin, h - bottom + 56.0f, inner_width, 18.0f};
    return layout;
}

LayoutRect progress_area(const WindowLayout& layout) {
    const LayoutRect& line = layout.progress_text_rect;
    const LayoutRect& track = layout.track_rect;
    const float left = std::min(line.x, track.x);
    const float top = std::min(line.y, track.y);
    const float right = std::max(line.x + line.width, track.x + track.width);
    const float bottom = std::max(line.y + line.height, track.y + track.height);
    return {left, top, right - left, bottom - top};
}

CarouselFrame carousel_frame(std::uint64_t elapsed_ms) {
    const double seconds = static_cast<double>(elapsed_ms) / 1000.0;
    const double in_cycle = std::fmod(seconds, kSlotSeconds * kCarouselSlots);
    const double in_slot = std::fmod(in_cycle, kSlotSeconds);
    const double fade_start = kSlotSeconds - kFadeSeconds;
    const float fade =
        in_slot >= fade_start ? static_cast<float>((in_slot - fade_start) / kFadeSeconds) : 0.0f;
    const int current = static_cast<int>(in_cycle / kSlotSeconds) % kCarouselSlots;
    return {current, (current + 1) % kCarouselSlots, fade};
}

ScaledSize fit_inside(float area_width, float area_height, int picture_width, int picture_height) {
    const float scale = std::min(area_height / static_cast<float>(picture_height),
                                 area_width / static_cast<float>(picture_width));
    return {rounded_at_least_one(scale * static_cast<float>(picture_width)),
            rounded_at_least_one(scale * static_cast<float>(picture_height))};
}
