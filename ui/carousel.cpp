#include "ui/carousel.h"

bool load_carousel_picture(HINSTANCE, int, int) {
    return false;
}

void release_carousel() {}
