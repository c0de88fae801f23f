// Where the process loads DLLs from. People run a downloaded bootstrapper
// straight from their Downloads folder, where a drive-by download can leave a
// winhttp.dll or gdiplus.dll: Windows looks in the exe's own folder first for
// any DLL that is not a KnownDLL. So the exe imports only KnownDLLs
// statically; every other DLL is delay-loaded, and only after the search has
// been limited to the system folder.
#pragma once

#include <windows.h>

struct ImgDelayDescr;

// Limits the DLL search of the whole process to the system folder and asks
// for the image-load mitigation that prefers system images and refuses
// images from remote shares. The first call of every entry point, before
// anything can load a DLL.
void restrict_library_search() noexcept;

// Loads `file_name` from the system folder only, keeps it loaded for the
// life of the process and binds every delay-import slot the exe has for it;
// true when it is loaded and bound. The first use of a delay-loaded DLL must
// be gated on this: a delay-load that cannot find its DLL raises an
// exception that ends the process, and the delay-load thunk does not keep
// float arguments (GDI+ passes its coordinates in them).
bool load_system_library(const wchar_t* file_name) noexcept;

// Points every slot of `imports`, a delay-import descriptor of this exe, at
// its function in `module`; false when `module` lacks one of them.
bool bind_delay_imports(HMODULE module, const ImgDelayDescr& imports) noexcept;
