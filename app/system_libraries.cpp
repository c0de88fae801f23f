#include "app/system_libraries.h"

#include <windows.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

extern "C" IMAGE_DOS_HEADER __ImageBase;

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

BYTE* image() {
    return reinterpret_cast<BYTE*>(&__ImageBase);
}

// binutils 2.44 links the slots read-only (2.40 left them writable): each
// write opens them for itself alone and puts their protection back. One
// binding at a time, or one could put back the other's opened protection
// while the other still writes (the worker binds WinHTTP while a reader's
// request binds oleacc on the window's thread).
std::mutex binding;

bool write_image(void* target, const void* source, SIZE_T size) {
    DWORD protection = 0;
    if (!VirtualProtect(target, size, PAGE_READWRITE, &protection)) {
        return false;
    }
    std::memcpy(target, source, size);
    // Written is written: a protection that cannot be put back costs no call.
    DWORD opened = 0;
    VirtualProtect(target, size, protection, &opened);
    return true;
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

bool load_system_library(const ImgDelayDescr& imports) noexcept {
    if (imports.grAttrs != dlattrRva) {
        return false;
    }
    // dlltool writes the name as the ASCII it is.
    const char* const name = reinterpret_cast<const char*>(image() + imports.rvaDLLName);
    const std::wstring file_name(name, name + std::strlen(name));
    const HMODULE module = load_from_system_folder(file_name.c_str());
    return module != nullptr && bind_delay_imports(module, imports);
}

bool bind_delay_imports(HMODULE module, const ImgDelayDescr& imports) noexcept {
    if (imports.grAttrs != dlattrRva) {
        return false;
    }
    std::vector<ULONG_PTR> functions;
    for (const auto* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(image() + imports.rvaINT);
         name->u1.AddressOfData != 0; ++name) {
        if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) {
            return false;
        }
        const auto* import =
            reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(image() + name->u1.AddressOfData);
        const FARPROC function = GetProcAddress(module, import->Name);
        if (function == nullptr) {
            return false;
        }
        functions.push_back(reinterpret_cast<ULONG_PTR>(function));
    }
    // Only once every name resolved: a DLL that lacks one leaves the slots
    // as they were. An exe that calls none of a DLL's functions has no slots
    // for it, and nothing to write.
    const std::lock_guard<std::mutex> lock(binding);
    return (functions.empty() || write_image(image() + imports.rvaIAT, functions.data(),
                                             functions.size() * sizeof(ULONG_PTR))) &&
           write_image(image() + imports.rvaHmod, &module, sizeof(module));
}

// Every slot is bound as its DLL is loaded, so in a sound build no call ever
// reaches the thunk's helper. The toolchain's helper would lose the float
// arguments on the way (binutils 2.40) or die writing a read-only slot
// (2.44); this one ends the process at once, the same with every toolchain,
// so that a missed binding fails whatever test takes that path.
extern "C" FARPROC WINAPI __delayLoadHelper2(const ImgDelayDescr*, FARPROC*) {
    TerminateProcess(GetCurrentProcess(), kUnboundDelayImportExitCode);
    return nullptr;
}
