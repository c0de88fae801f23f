// Double-buffered painting of the whole client area.
#pragma once

#include <windows.h>

void paint_window(HWND window);

// Drops the back buffer; safe when none is held.
void release_back_buffer();
