#include "ui/carousel.h"

#include <cstring>

#include "ui/fonts.h"

Carousel carousel;

namespace {

constexpr Gdiplus::ARGB kMessageColour = 0xFFE74C3C;

// A stream over a movable copy of the resource bytes; the stream frees the
// copy when it is released.
UniqueStream stream_over_resource(HINSTANCE instance, int resource) {
    HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(resource), RT_RCDATA);
    if (found == nullptr) {
        return {};
    }
    HGLOBAL loaded = LoadResource(instance, found);
    const DWORD size = SizeofResource(instance, found);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr || size == 0) {
        return {};
    }
    UniqueGlobalMemory block(GlobalAlloc(GMEM_MOVEABLE, size));
    if (!block) {
        return {};
    }
    void* target = GlobalLock(block.get());
    if (target == nullptr) {
        return {};
    }
    std::memcpy(target, bytes, size);
    GlobalUnlock(block.get());
    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(block.get(), TRUE, &stream))) {
        return {};
    }
    block.release();
    return UniqueStream(stream);
}

void draw_message(Gdiplus::Graphics& graphics, const LayoutRect& area) {
    const std::unique_ptr<Gdiplus::Font> font = create_ui_font(18.0f, Gdiplus::FontStyleRegular);
    const Gdiplus::SolidBrush brush{Gdiplus::Color(kMessageColour)};
    Gdiplus::StringFormat format(0, LANG_NEUTRAL);
    format.SetAlignment(Gdiplus::StringAlignmentCenter);
    format.SetLineAlignment(Gdiplus::StringAlignmentCenter);
    graphics.DrawString(L"无法加载轮播图片", -1, font.get(),
                        Gdiplus::RectF(area.x, area.y, area.width, area.height), &format, &brush);
}

}  // namespace

bool load_carousel_picture(HINSTANCE instance, int resource, int slot) {
    UniqueStream stream = stream_over_resource(instance, resource);
    if (!stream) {
        return false;
    }
    carousel.picture_streams[slot] = std::move(stream);
    carousel.source_pictures[slot].reset(
        Gdiplus::Image::FromStream(carousel.picture_streams[slot].get()));
    if (carousel.source_pictures[slot] &&
        carousel.source_pictures[slot]->GetLastStatus() == Gdiplus::Ok) {
        return true;
    }
    carousel.source_pictures[slot].reset();
    carousel.picture_streams[slot].reset();
    return false;
}

bool ensure_scaled_picture(const LayoutRect& area, int slot) {
    Gdiplus::Image* source = carousel.source_pictures[slot].get();
    if (source == nullptr || source->GetLastStatus() != Gdiplus::Ok) {
        return false;
    }
    const int width = static_cast<int>(source->GetWidth());
    const int height = static_cast<int>(source->GetHeight());
    if (width <= 0 || height <= 0) {
        return false;
    }
    const ScaledSize size = fit_inside(area.width, area.height, width, height);
    if (carousel.scaled_pictures[slot] && carousel.scaled_widths[slot] == size.width &&
        carousel.scaled_heights[slot] == size.height) {
        return true;
    }

    auto scaled = std::make_unique<Gdiplus::Bitmap>(size.width, size.height,
                                                    PixelFormat32bppPARGB);
    if (scaled->GetLastStatus() != Gdiplus::Ok) {
        return false;
    }
    bool drawn = false;
    {
        Gdiplus::Graphics graphics(scaled.get());
        drawn = graphics.GetLastStatus() == Gdiplus::Ok &&
                graphics.Clear(Gdiplus::Color(0x00000000)) == Gdiplus::Ok &&
                graphics.SetCompositingMode(Gdiplus::CompositingModeSourceCopy) == Gdiplus::Ok &&
                graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic) ==
                    Gdiplus::Ok &&
                graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality) == Gdiplus::Ok &&
                graphics.DrawImage(source, Gdiplus::Rect(0, 0, size.width, size.height)) ==
                    Gdiplus::Ok;
    }
    if (!drawn) {
        return false;
    }
    carousel.scaled_pictures[slot] = std::move(scaled);
    carousel.scaled_widths[slot] = size.width;
    carousel.scaled_heights[slot] = size.height;
    return true;
}

void draw_carousel_picture(Gdiplus::Graphics& graphics, const LayoutRect& area, int slot,
                           float opacity) {
    if (!ensure_scaled_picture(area, slot)) {
        draw_message(graphics, area);
        return;
    }
    // Fully transparent draws change no pixel; the copy above is still made,
    // so no scaling ever happens during a crossfade.
    if (opacity <= 0.0f) {
        return;
    }
    const int width = carousel.scaled_widths[slot];
    const int height = carousel.scaled_heights[slot];
    const Gdiplus::RectF target(area.x + (area.width - static_cast<float>(width)) * 0.5f,
                                area.y + (area.height - static_cast<float>(height)) * 0.5f,
                                static_cast<float>(width), static_cast<float>(height));
    Gdiplus::Bitmap* picture = carousel.scaled_pictures[slot].get();
    if (opacity >= 1.0f) {
        // An opaque draw needs no colour matrix, which is most of a frame's cost.
        graphics.DrawImage(picture, target, 0.0f, 0.0f, static_cast<float>(width),
                           static_cast<float>(height), Gdiplus::UnitPixel);
        return;
    }
    Gdiplus::ColorMatrix matrix = {{{1, 0, 0, 0, 0},
                                    {0, 1, 0, 0, 0},
                                    {0, 0, 1, 0, 0},
                                    {0, 0, 0, opacity, 0},
                                    {0, 0, 0, 0, 1}}};
    Gdiplus::ImageAttributes attributes;
    attributes.SetColorMatrix(&matrix, Gdiplus::ColorMatrixFlagsDefault,
                              Gdiplus::ColorAdjustTypeBitmap);
    graphics.DrawImage(picture, target, 0.0f, 0.0f, static_cast<float>(width),
                       static_cast<float>(height), Gdiplus::UnitPixel, &attributes);
}

void release_carousel() {
    for (int slot = 0; slot < kCarouselSlots; ++slot) {
        carousel.scaled_pictures[slot].reset();
        carousel.source_pictures[slot].reset();
        carousel.picture_streams[slot].reset();
    }
}
