// A DLL that an attacker might leave in a Downloads folder under the name of
// a system DLL. Loading it leaves "<its own path>.loaded" beside it, so a
// test can tell whether a program took it from its folder.
#include <windows.h>

#include <string>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t path[MAX_PATH] = {};
        const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
        const std::wstring marker = std::wstring(path, length) + L".loaded";
        CloseHandle(CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    return TRUE;
}
