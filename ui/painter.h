// Double-buffered painting of the whole client area.
#pragma once

#include <windows.h>
#include <gdiplus.h>

#include <cstdint>

#include "app/download_state.h"
#include "app/handles.h"
#include "ui/layout.h"

// The off-screen surface every frame is drawn into before one copy to the
// window; exactly the client size, re-made when that changes.
struct BackBuffer {
    UniqueMemoryDc memory_dc;
    UniqueGdiBitmap bitmap;
    HGDIOBJ previous_bitmap = nullptr;  // put back before `bitmap` is deleted
    int width = 0;
    int height = 0;
};
extern BackBuffer back_buffer;

// The counters one frame shows, read without the lock.
struct ProgressSnapshot {
    DownloadPhase phase;
    std::uint64_t bytes_received;
    std::uint64_t bytes_total;
};

void paint_window(HWND window);

// Draws one whole frame of a client area of `width` × `height` pixels;
// `elapsed_ms` places the carousel in its cycle.
void draw_frame(Gdiplus::Graphics& graphics, int width, int height, std::uint64_t elapsed_ms,
                const ProgressSnapshot& snapshot);

// Drops the back buffer; safe when none is held.
void release_back_buffer();

void fill_rounded_rect(Gdiplus::Graphics& graphics, const Gdiplus::Brush& brush,
                       const LayoutRect& rect, float radius);
