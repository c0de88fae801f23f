#include "ui/painter.h"

#include "app/handles.h"

void paint_window(HWND window) {
    PaintScope paint(window);
}

void release_back_buffer() {}
