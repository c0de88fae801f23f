#pragma once

#include <windows.h>
#include <gdiplus.h>

#include <memory>

// A pixel-sized font of "Microsoft YaHei UI", or of the generic sans-serif
// family where that is not installed. The result may be invalid when neither
// family exists: text drawn with it then simply does not appear.
std::unique_ptr<Gdiplus::Font> create_ui_font(float size, INT style);
