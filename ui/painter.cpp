#include "ui/painter.h"

#include <algorithm>
#include <string>

#include "ui/carousel.h"
#include "ui/fonts.h"
#include "ui/progress_text.h"

BackBuffer back_buffer;
ShownProgress shown_progress{0, format_progress_line(0.0, 0, 0, 0.0)};

namespace {

SpeedSampler speed_sampler;

constexpr Gdiplus::ARGB kBackgroundColour = 0xFF12161F;
constexpr Gdiplus::ARGB kBarColour = 0xFF181E2A;
constexpr Gdiplus::ARGB kStatusColour = 0xFFF5F7FA;
constexpr Gdiplus::ARGB kProgressTextColour = 0xFFD6DDE8;
constexpr Gdiplus::ARGB kTrackColour = 0xFF323B4A;
constexpr Gdiplus::ARGB kCompletedColour = 0xFF2ECC71;
constexpr Gdiplus::ARGB kGradientStartColour = 0xFF409CFF;
constexpr Gdiplus::ARGB kGradientEndColour = 0xFF5CE1BE;
constexpr float kBarRadius = 9.0f;
constexpr float kBarHeight = 18.0f;

Gdiplus::RectF to_rectf(const LayoutRect& rect) {
    return {rect.x, rect.y, rect.width, rect.height};
}

void fill_rect(Gdiplus::Graphics& graphics, Gdiplus::ARGB colour, const LayoutRect& rect) {
    const Gdiplus::SolidBrush brush{Gdiplus::Color(colour)};
    graphics.FillRectangle(&brush, to_rectf(rect));
}

void draw_text(Gdiplus::Graphics& graphics, const std::wstring& text, float size, INT style,
               Gdiplus::ARGB colour, Gdiplus::StringAlignment alignment, const LayoutRect& box) {
    const std::unique_ptr<Gdiplus::Font> font = create_ui_font(size, style);
    const Gdiplus::SolidBrush brush{Gdiplus::Color(colour)};
    Gdiplus::StringFormat format(0, LANG_NEUTRAL);
    format.SetAlignment(alignment);
    format.SetLineAlignment(Gdiplus::StringAlignmentCenter);
    graphics.DrawString(text.c_str(), -1, font.get(), to_rectf(box), &format, &brush);
}

void draw_progress_fill(Gdiplus::Graphics& graphics, const LayoutRect& track, double fraction,
                        bool completed) {
    const float filled = static_cast<float>(fraction) * track.width;
    if (filled <= 0.5f) {
        return;
    }
    // Never narrower than a full circle, never wider than the track.
    const LayoutRect fill{track.x, track.y, std::min(track.width, std::max(kBarHeight, filled)),
                          kBarHeight};
    if (completed) {
        fill_rounded_rect(graphics, Gdiplus::SolidBrush(Gdiplus::Color(kCompletedColour)), fill,
                          kBarRadius);
        return;
    }
    // The gradient spans exactly the filled part, whatever its length.
    const Gdiplus::LinearGradientBrush gradient(
        Gdiplus::PointF(fill.x, fill.y), Gdiplus::PointF(fill.x + fill.width, fill.y),
        Gdiplus::Color(kGradientStartColour), Gdiplus::Color(kGradientEndColour));
    fill_rounded_rect(graphics, gradient, fill, kBarRadius);
}

// Makes the back buffer for a client of `width` × `height`, re-making it on
// any change of size; false leaves this paint undrawn.
bool ensure_back_buffer(HDC paint_dc, int width, int height) {
    if (back_buffer.memory_dc && back_buffer.bitmap && back_buffer.width == width &&
        back_buffer.height == height) {
        return true;
    }
    release_back_buffer();
    back_buffer.memory_dc.reset(CreateCompatibleDC(paint_dc));
    if (!back_buffer.memory_dc) {
        return false;
    }
    back_buffer.bitmap.reset(CreateCompatibleBitmap(paint_dc, width, height));
    if (!back_buffer.bitmap) {
        release_back_buffer();
        return false;
    }
    back_buffer.previous_bitmap = SelectObject(back_buffer.memory_dc.get(), back_buffer.bitmap.get());
    back_buffer.width = width;
    back_buffer.height = height;
    return true;
}

}  // namespace

void fill_rounded_rect(Gdiplus::Graphics& graphics, const Gdiplus::Brush& brush,
                       const LayoutRect& rect, float radius) {
    const float d = 2.0f * radius;
    Gdiplus::GraphicsPath path(Gdiplus::FillModeAlternate);
    path.AddArc(rect.x, rect.y, d, d, 180.0f, 90.0f);
    path.AddArc(rect.x + rect.width - d, rect.y, d, d, 270.0f, 90.0f);
    path.AddArc(rect.x + rect.width - d, rect.y + rect.height - d, d, d, 0.0f, 90.0f);
    path.AddArc(rect.x, rect.y + rect.height - d, d, d, 90.0f, 90.0f);
    path.CloseFigure();
    graphics.FillPath(&brush, &path);
}

FrameContent compose_frame(int width, int height, std::uint64_t elapsed_ms,
                           const ProgressSnapshot& snapshot) {
    FrameContent frame;
    frame.width = width;
    frame.height = height;
    frame.carousel = carousel_frame(elapsed_ms);
    sample_speed(speed_sampler, snapshot.bytes_received, GetTickCount64());
    frame.fraction = progress_fraction(snapshot.bytes_received, snapshot.bytes_total);
    frame.completed = snapshot.phase == Completed;
    frame.status_text = copy_status_text();
    frame.progress_line = format_progress_line(frame.fraction, snapshot.bytes_received,
                                               snapshot.bytes_total, speed_sampler.speed_mib_per_s);
    return frame;
}

void draw_header(Gdiplus::Graphics& graphics, const FrameContent& frame,
                 const WindowLayout& layout) {
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeNearestNeighbor);
    graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintClearTypeGridFit);
    graphics.Clear(Gdiplus::Color(kBackgroundColour));
    fill_rect(graphics, kBarColour, layout.header_rect);
    draw_text(graphics, frame.status_text, 32.0f, Gdiplus::FontStyleBold, kStatusColour,
              Gdiplus::StringAlignmentCenter, layout.header_rect);
}

void draw_footer(Gdiplus::Graphics& graphics, const FrameContent& frame,
                 const WindowLayout& layout) {
    fill_rect(graphics, kBarColour, layout.footer_rect);
    draw_text(graphics, frame.progress_line, 18.0f, Gdiplus::FontStyleRegular, kProgressTextColour,
              Gdiplus::StringAlignmentNear, layout.progress_text_rect);
    fill_rounded_rect(graphics, Gdiplus::SolidBrush(Gdiplus::Color(kTrackColour)),
                      layout.track_rect, kBarRadius);
    draw_progress_fill(graphics, layout.track_rect, frame.fraction, frame.completed);
}

bool draw_frame(Gdiplus::Graphics& graphics, const FrameContent& frame) {
    const WindowLayout layout = compute_layout(frame.width, frame.height);
    draw_header(graphics, frame, layout);
    // The next slot is drawn even at opacity 0, so that its scaled copy is
    // made before its fade begins.
    const bool current_shown =
        draw_carousel_picture(graphics, layout.carousel_rect, frame.carousel.current, 1.0f);
    const bool next_shown = draw_carousel_picture(graphics, layout.carousel_rect,
                                                  frame.carousel.next, frame.carousel.fade);
    draw_footer(graphics, frame, layout);
    return current_shown && next_shown;
}

void paint_window(HWND window) {
    PaintScope paint(window);
    RECT client{};
    GetClientRect(window, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    if (width <= 0 || height <= 0 || !ensure_back_buffer(paint.dc(), width, height)) {
        return;
    }
    const std::uint64_t elapsed = GetTickCount64() - download_state.start_tick;
    const ProgressSnapshot snapshot{download_state.phase.load(),
                                    download_state.bytes_received.load(),
                                    download_state.bytes_total.load()};
    FrameContent frame = compose_frame(width, height, elapsed, snapshot);
    shown_progress.percent = whole_percent(frame.fraction);
    shown_progress.line = frame.progress_line;
    // Most frames of an idle or steady window repeat the last one exactly. A
    // frame that had to show the carousel's message is not kept: the next
    // paint tries the scaling again.
    if (!(frame == back_buffer.drawn)) {
        Gdiplus::Graphics graphics(back_buffer.memory_dc.get());
        const bool pictures_shown = draw_frame(graphics, frame);
        back_buffer.drawn = pictures_shown ? std::move(frame) : FrameContent{};
    }
    BitBlt(paint.dc(), 0, 0, width, height, back_buffer.memory_dc.get(), 0, 0, SRCCOPY);
}

void release_back_buffer() {
    if (back_buffer.memory_dc && back_buffer.bitmap) {
        SelectObject(back_buffer.memory_dc.get(), back_buffer.previous_bitmap);
    }
    back_buffer.bitmap.reset();
    back_buffer.memory_dc.reset();
    back_buffer.previous_bitmap = nullptr;
    back_buffer.width = 0;
    back_buffer.height = 0;
    back_buffer.drawn = {};
}
