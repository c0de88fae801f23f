// A GUI program that ends as soon as it starts, with the downloader's static
// imports. A DLL taken from its folder is taken by the system's own start-up
// code, before any code of a program runs: the planted-DLL test tells those
// apart from what the downloader loads.
#include <objbase.h>
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Read, never called: keeps user32, gdi32 and ole32 in the import table
    // without running any of their code.
    decltype(&MessageBeep) volatile user32 = &MessageBeep;
    decltype(&GetStockObject) volatile gdi32 = &GetStockObject;
    decltype(&CoUninitialize) volatile ole32 = &CoUninitialize;
    return user32 && gdi32 && ole32 ? 0 : 1;
}
