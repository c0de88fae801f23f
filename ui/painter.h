// Double-buffered painting of the whole client area.
#pragma once

#include <windows.h>
#include <gdiplus.h>

#include <cstdint>
#include <string>

#include "app/download_state.h"
#include "app/handles.h"
#include "ui/layout.h"

// The counters one frame shows, read without the lock.
struct ProgressSnapshot {
    DownloadPhase phase;
    std::uint64_t bytes_received;
    std::uint64_t bytes_total;
};

// Everything one frame shows. Two equal contents give the same pixels.
struct FrameContent {
    int width = 0;
    int height = 0;
    std::wstring status_text;
    std::wstring progress_line;
    double fraction = 0.0;
    bool completed = false;
    CarouselFrame carousel{};

    bool operator==(const FrameContent&) const = default;
};

// The off-screen surface every frame is drawn into before one copy to the
// window; exactly the client size, re-made when that changes. `drawn` is
// what it holds, so an unchanged frame is copied again instead of redrawn.
struct BackBuffer {
    UniqueMemoryDc memory_dc;
    UniqueGdiBitmap bitmap;
    HGDIOBJ previous_bitmap = nullptr;  // put back before `bitmap` is deleted
    int width = 0;
    int height = 0;
    FrameContent drawn;
};
extern BackBuffer back_buffer;

// The progress as the window last put it on screen, so that what a reader is
// told never differs from what is shown. User-interface thread only.
struct ShownProgress {
    int percent = 0;
    std::wstring line;
};
extern ShownProgress shown_progress;

void paint_window(HWND window);

// What a client area of `width` × `height` shows now; `elapsed_ms` places the
// carousel in its cycle. Takes this paint's speed sample.
FrameContent compose_frame(int width, int height, std::uint64_t elapsed_ms,
                           const ProgressSnapshot& snapshot);

// The whole frame, in paint order: header, carousel, footer. False when a
// carousel slot could not be shown and its message was drawn instead.
bool draw_frame(Gdiplus::Graphics& graphics, const FrameContent& frame);

// The frame's parts around the carousel; the header part also prepares the
// surface and clears it.
void draw_header(Gdiplus::Graphics& graphics, const FrameContent& frame,
                 const WindowLayout& layout);
void draw_footer(Gdiplus::Graphics& graphics, const FrameContent& frame,
                 const WindowLayout& layout);

// Drops the back buffer; safe when none is held.
void release_back_buffer();

void fill_rounded_rect(Gdiplus::Graphics& graphics, const Gdiplus::Brush& brush,
                       const LayoutRect& rect, float radius);
