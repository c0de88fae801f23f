#include "app/system_libraries.h"

#include <windows.h>

#include <string>

namespace {

// Written once by restrict_library_search, before any other thread exists.
bool search_limited_to_system = false;

// Kernel32 functions that older systems lack, looked up by name so the exe
// still starts there. Null when absent.
template <typename Function>
Function kernel32_function(const char* name) {
    const FARPROC address = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name);
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
using SetProcessMitigationPolicyFunction = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);

void prefer_system_images() {
    const auto set_policy =
        kernel32_function<SetProcessMitigationPolicyFunction>("SetProcessMitigationPolicy");
    if (set_policy == nullptr) {
        return;
    }
    PROCESS_MITIGATION_IMAGE_LOAD_POLICY policy{};
    policy.NoRemoteImages = 1;
    policy.PreferSystem32Images = 1;
    // Older systems refuse the flags they do not know; the search limit
    // above protects them all the same.
    set_policy(ProcessImageLoadPolicy, &policy, sizeof(policy));
}

std::wstring system_path_of(const wchar_t* file_name) {
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    return std::wstring(folder, length) + L"\\" + file_name;
}

}  // namespace

void restrict_library_search() noexcept {
    const auto set_default_directories =
        kernel32_function<SetDefaultDllDirectoriesFunction>("SetDefaultDllDirectories");
    if (set_default_directories != nullptr &&
        set_default_directories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        search_limited_to_system = true;
    } else {
        // Windows 7 without its loader update: at least take the current
        // directory out; load_system_library then names full paths.
        SetDllDirectoryW(L"");
    }
    prefer_system_images();
}

bool load_system_library(const wchar_t* file_name) noexcept {
    if (search_limited_to_system) {
        return LoadLibraryExW(file_name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32) != nullptr;
    }
    // A full path, and the DLL's own dependencies looked for beside it.
    // Once loaded, the delay-load helper's plain LoadLibraryA of the same
    // name finds this module rather than searching again.
    const std::wstring path = system_path_of(file_name);
    return !path.empty() &&
           LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH) != nullptr;
}
