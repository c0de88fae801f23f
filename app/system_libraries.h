// Where the process loads DLLs from. People run a downloaded bootstrapper
// straight from their Downloads folder, where a drive-by download can leave a
// winhttp.dll or gdiplus.dll: Windows looks in the exe's own folder first for
// any DLL that is not a KnownDLL. So the exe imports only KnownDLLs
// statically; every other DLL is delay-loaded, and only after the search has
// been limited to the system folder.
#pragma once

#include <windows.h>
#include <delayimp.h>

// The descriptors dlltool makes for the delay-loaded system DLLs
// (cmake/delay_import.cmake). Declared only: an exe links the descriptor of
// each DLL it binds, and no other, so a name that drifts from the one the
// build makes fails the link instead of leaving slots unbound.
extern const ImgDelayDescr gdiplus_imports __asm__("__DELAY_IMPORT_DESCRIPTOR_libgdiplus_delay_a");
extern const ImgDelayDescr winhttp_imports __asm__("__DELAY_IMPORT_DESCRIPTOR_libwinhttp_delay_a");
extern const ImgDelayDescr oleacc_imports __asm__("__DELAY_IMPORT_DESCRIPTOR_liboleacc_delay_a");
extern const ImgDelayDescr oleaut32_imports
    __asm__("__DELAY_IMPORT_DESCRIPTOR_liboleaut32_delay_a");

// The exit code of a process that called a delay-loaded function before its
// DLL was bound: the delay-load failure code that debuggers and crash
// reports know.
constexpr UINT kUnboundDelayImportExitCode = 0xC06D007F;

// Limits the DLL search of the whole process to the system folder and asks
// for the image-load mitigation that prefers system images and refuses
// images from remote shares. The first call of every entry point, before
// anything can load a DLL.
void restrict_library_search() noexcept;

// Loads the DLL that `imports` names from the system folder only, keeps it
// loaded for the life of the process and binds every slot of `imports`;
// true when it is loaded and bound. The first use of a delay-loaded DLL must
// be gated on this: no call may go through a slot that is not bound, since
// the toolchain's delay-load thunk loses float arguments (GDI+ passes its
// coordinates in them) and its helper cannot write read-only slots. A call
// that does anyway ends the process with kUnboundDelayImportExitCode.
bool load_system_library(const ImgDelayDescr& imports) noexcept;

// Points every slot of `imports`, a delay-import descriptor of this exe, at
// its function in `module`, and its module slot at `module`. All or nothing:
// false, with nothing written, when `module` lacks one of the functions or
// the descriptor is of a kind dlltool does not make (addresses that are not
// RVAs, imports by ordinal).
bool bind_delay_imports(HMODULE module, const ImgDelayDescr& imports) noexcept;
