#include "app/system_libraries.h"

#include <windows.h>
#include <delayimp.h>

#include <string>

extern "C" IMAGE_DOS_HEADER __ImageBase;

// The descriptors dlltool made for the delay-loaded DLLs
// (cmake/delay_import.cmake). Weak, so that an exe that calls nothing in a
// DLL neither links its descriptor nor names the DLL: it gets an empty one.
__attribute__((weak)) extern const ImgDelayDescr gdiplus_imports
    __asm__("__DELAY_IMPORT_DESCRIPTOR_libgdiplus_delay_a") = {};
__attribute__((weak)) extern const ImgDelayDescr winhttp_imports
    __asm__("__DELAY_IMPORT_DESCRIPTOR_libwinhttp_delay_a") = {};
__attribute__((weak)) extern const ImgDelayDescr oleacc_imports
    __asm__("__DELAY_IMPORT_DESCRIPTOR_liboleacc_delay_a") = {};
__attribute__((weak)) extern const ImgDelayDescr oleaut32_imports
    __asm__("__DELAY_IMPORT_DESCRIPTOR_liboleaut32_delay_a") = {};

namespace {

struct DelayLoadedLibrary {
    const wchar_t* file_name;
    const ImgDelayDescr& imports;
};

const DelayLoadedLibrary delay_loaded_libraries[] = {
    {L"gdiplus.dll", gdiplus_imports},
    {L"winhttp.dll", winhttp_imports},
    {L"oleacc.dll", oleacc_imports},
    {L"oleaut32.dll", oleaut32_imports},
};

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

HMODULE load_from_system_folder(const wchar_t* file_name) {
    if (search_limited_to_system) {
        return LoadLibraryExW(file_name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    // A full path, and the DLL's own dependencies looked for beside it.
    const std::wstring path = system_path_of(file_name);
    return path.empty() ? nullptr
                        : LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
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
    const HMODULE module = load_from_system_folder(file_name);
    if (module == nullptr) {
        return false;
    }
    for (const DelayLoadedLibrary& library : delay_loaded_libraries) {
        if (lstrcmpiW(library.file_name, file_name) == 0) {
            return bind_delay_imports(module, library.imports);
        }
    }
    return true;
}

bool bind_delay_imports(HMODULE module, const ImgDelayDescr& imports) noexcept {
    if (imports.rvaIAT == 0) {
        return true;
    }
    auto* const image = reinterpret_cast<BYTE*>(&__ImageBase);
    const auto* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(image + imports.rvaINT);
    auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(image + imports.rvaIAT);
    // dlltool imports every function by name.
    for (; name->u1.AddressOfData != 0; ++name, ++slot) {
        const auto* import = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(
            image + name->u1.AddressOfData);
        const FARPROC function = GetProcAddress(module, import->Name);
        if (function == nullptr) {
            return false;
        }
        slot->u1.Function = reinterpret_cast<ULONG_PTR>(function);
    }
    *reinterpret_cast<HMODULE*>(image + imports.rvaHmod) = module;
    return true;
}
