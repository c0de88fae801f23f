#include "ui/fonts.h"

namespace {

// Fetched once and kept for the life of the process, never released.
const Gdiplus::FontFamily* generic_sans_serif() {
    static const Gdiplus::FontFamily* const family = Gdiplus::FontFamily::GenericSansSerif();
    return family;
}

}  // namespace

std::unique_ptr<Gdiplus::Font> create_ui_font(float size, INT style) {
    const Gdiplus::FontFamily named(L"Microsoft YaHei UI");
    const Gdiplus::FontFamily* family =
        named.GetLastStatus() == Gdiplus::Ok ? &named : generic_sans_serif();
    auto font = std::make_unique<Gdiplus::Font>(family, size, style, Gdiplus::UnitPixel);
    if (font->GetLastStatus() != Gdiplus::Ok && family == &named && generic_sans_serif() != nullptr) {
        font = std::make_unique<Gdiplus::Font>(generic_sans_serif(), size, style, Gdiplus::UnitPixel);
    }
    return font;
}
