// The four banner pictures that crossfade in the middle band of the window.
// User-interface thread only.
#pragma once

#include <windows.h>

#include "res/resource_ids.h"

inline constexpr int kCarouselSlots = 4;
inline constexpr int kFirstBannerResource = IDR_BANNER_1;

// Decodes raw-data resource `resource` into `slot`; true when the slot then
// holds a usable picture.
bool load_carousel_picture(HINSTANCE instance, int resource, int slot);

// Empties every slot: scaled copy, then picture, then the stream it reads.
void release_carousel();
