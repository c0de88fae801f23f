// The four banner pictures that crossfade in the middle band of the window.
// User-interface thread only.
#pragma once

#include <windows.h>
#include <gdiplus.h>

#include <memory>

#include "app/handles.h"
#include "res/resource_ids.h"
#include "ui/layout.h"

inline constexpr int kFirstBannerResource = IDR_BANNER_1;

// Decoded pictures, their scaled copies (one per slot, keyed by size) and the
// streams they decode from. A GDI+ picture keeps reading its stream for as
// long as it lives, so a stream is released only after its picture.
//
// Each scaled copy is a GDI+ bitmap over the pixels of a GDI DIB section, so
// that frames can blend it with GdiAlphaBlend: several times cheaper per
// frame than a GDI+ draw through a colour matrix, with the same pixels up to
// the opacity's 1/255 steps. The DIB outlives the bitmap that borrows it.
//
// Members are declared so that destruction at exit, which runs in reverse,
// still drops each borrower before what it borrows.
struct Carousel {
    UniqueStream picture_streams[kCarouselSlots];
    std::unique_ptr<Gdiplus::Image> source_pictures[kCarouselSlots];
    UniqueGdiBitmap scaled_pixels[kCarouselSlots];
    std::unique_ptr<Gdiplus::Bitmap> scaled_pictures[kCarouselSlots];
    int scaled_widths[kCarouselSlots] = {};
    int scaled_heights[kCarouselSlots] = {};
};
extern Carousel carousel;

// Decodes raw-data resource `resource` into `slot`; true when the slot then
// holds a usable picture. A slot that fails stays empty.
bool load_carousel_picture(HINSTANCE instance, int resource, int slot);

// Makes the slot's copy scaled to fit `area` unless it already has that
// size; true when the slot can be drawn.
bool ensure_scaled_picture(const LayoutRect& area, int slot);

// Draws the slot centred in `area` at `opacity`, or a red message when the
// slot cannot be drawn; false when the message was drawn.
bool draw_carousel_picture(Gdiplus::Graphics& graphics, const LayoutRect& area, int slot,
                           float opacity);

// Empties every slot: scaled copy, then picture, then the stream it reads.
void release_carousel();
