#include "ui/carousel.h"

#include <cmath>
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

// A top-down 32-bit DIB whose pixels GDI+ can fill as premultiplied ARGB.
UniqueGdiBitmap create_premultiplied_dib(const ScaledSize& size, void** bits) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = size.width;
    info.bmiHeader.biHeight = -size.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return UniqueGdiBitmap(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, bits, nullptr, 0));
}

// Per-pixel alpha as well as the opacity: the bicubic scaling leaves the
// copy's edge pixels partly transparent.
void blend_scaled_copy(HDC target, int slot, int x, int y, float opacity) {
    const int width = carousel.scaled_widths[slot];
    const int height = carousel.scaled_heights[slot];
    const UniqueMemoryDc source(CreateCompatibleDC(target));
    const SelectionScope selection(source.get(), carousel.scaled_pixels[slot].get());
    const BLENDFUNCTION blend{AC_SRC_OVER, 0, static_cast<BYTE>(std::lround(opacity * 255.0f)),
                              AC_SRC_ALPHA};
    GdiAlphaBlend(target, x, y, width, height, source.get(), 0, 0, width, height, blend);
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
    // The slot's old picture goes before the old stream it may still read.
    carousel.source_pictures[slot].reset(Gdiplus::Image::FromStream(stream.get()));
    carousel.picture_streams[slot] = std::move(stream);
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

    void* bits = nullptr;
    UniqueGdiBitmap pixels = create_premultiplied_dib(size, &bits);
    if (!pixels) {
        return false;
    }
    auto scaled = std::make_unique<Gdiplus::Bitmap>(size.width, size.height, size.width * 4,
                                                    PixelFormat32bppPARGB,
                                                    static_cast<BYTE*>(bits));
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
    carousel.scaled_pixels[slot] = std::move(pixels);
    carousel.scaled_widths[slot] = size.width;
    carousel.scaled_heights[slot] = size.height;
    return true;
}

bool draw_carousel_picture(Gdiplus::Graphics& graphics, const LayoutRect& area, int slot,
                           float opacity) {
    if (!ensure_scaled_picture(area, slot)) {
        draw_message(graphics, area);
        return false;
    }
    // Fully transparent draws change no pixel; the copy above is still made,
    // so no scaling ever happens during a crossfade.
    if (opacity <= 0.0f) {
        return true;
    }
    // Where a 1:1 draw at this offset lands: a half-pixel offset rounds up,
    // as nearest-neighbour sampling at pixel centres does.
    const int width = carousel.scaled_widths[slot];
    const int height = carousel.scaled_heights[slot];
    const int x = static_cast<int>(std::lround(area.x + (area.width - static_cast<float>(width)) * 0.5f));
    const int y = static_cast<int>(std::lround(area.y + (area.height - static_cast<float>(height)) * 0.5f));
    HDC target = graphics.GetHDC();
    blend_scaled_copy(target, slot, x, y, opacity);
    graphics.ReleaseHDC(target);
    return true;
}

void release_carousel() {
    for (int slot = 0; slot < kCarouselSlots; ++slot) {
        carousel.scaled_pictures[slot].reset();
        carousel.scaled_pixels[slot].reset();
        carousel.source_pictures[slot].reset();
        carousel.picture_streams[slot].reset();
    }
}
