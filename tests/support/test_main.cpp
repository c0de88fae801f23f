// The entry of every GoogleTest exe. GDI+ is bound before any case runs, as
// the program binds it before its first call, since cases draw with it
// directly. WinHTTP, oleacc and oleaut32 are left to the code under test,
// which binds them before its first call, and to the cases that call them.
#include <gtest/gtest.h>

#include <cstdio>

#include "app/system_libraries.h"

int main(int argc, char** argv) {
    if (!load_system_library(gdiplus_imports)) {
        std::fputs("gdiplus.dll could not be loaded and bound\n", stderr);
        return 1;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
