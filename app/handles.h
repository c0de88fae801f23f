// Move-only owners for every kind of handle the program opens. Each alias
// names what "invalid" means for its handle and how it is closed; closing
// never disturbs the caller's GetLastError, so a failure path can close what
// it opened and still read why the failing call failed.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <winhttp.h>

#include <utility>

template <typename Traits>
class UniqueHandle {
public:
    using pointer = typename Traits::pointer;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(pointer handle) noexcept : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    pointer get() const noexcept { return handle_; }
    // Only an owner of an object with members (a COM interface) has one;
    // HANDLE, HDC and the like are opaque.
    pointer operator->() const noexcept
        requires Traits::has_members
    {
        return handle_;
    }
    explicit operator bool() const noexcept { return Traits::is_valid(handle_); }

    // Gives up ownership without closing.
    pointer release() noexcept { return std::exchange(handle_, Traits::empty()); }

    void reset(pointer handle = Traits::empty()) noexcept {
        const pointer old = std::exchange(handle_, handle);
        if (Traits::is_valid(old)) {
            const DWORD saved_error = GetLastError();
            Traits::close(old);
            SetLastError(saved_error);
        }
    }

private:
    pointer handle_ = Traits::empty();
};

// Files and other kernel objects: CreateFileW reports failure as
// INVALID_HANDLE_VALUE, most other calls as null, so both count as invalid.
struct KernelHandleTraits {
    using pointer = HANDLE;
    static pointer empty() noexcept { return nullptr; }
    static bool is_valid(pointer h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { CloseHandle(h); }
};
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;

// Handles whose failure value is null, closed by one call.
template <typename Pointer, auto Close>
struct NullIsInvalidTraits {
    using pointer = Pointer;
    static pointer empty() noexcept { return nullptr; }
    static bool is_valid(pointer h) noexcept { return h != nullptr; }
    static void close(pointer h) noexcept { Close(h); }
};

// COM objects: the owner holds one reference, which Release gives back.
template <typename Interface>
void release_reference(Interface* object) noexcept {
    object->Release();
}

// DeleteObject takes any GDI object; the alias keeps the bitmap's own type.
inline void delete_bitmap(HBITMAP bitmap) noexcept {
    DeleteObject(bitmap);
}

using UniqueInternetHandle = UniqueHandle<NullIsInvalidTraits<HINTERNET, WinHttpCloseHandle>>;
using UniqueGlobalMemory = UniqueHandle<NullIsInvalidTraits<HGLOBAL, GlobalFree>>;
template <typename Interface>
struct ComReferenceTraits : NullIsInvalidTraits<Interface*, release_reference<Interface>> {
    static constexpr bool has_members = true;
};
template <typename Interface>
using UniqueComObject = UniqueHandle<ComReferenceTraits<Interface>>;
using UniqueStream = UniqueComObject<IStream>;
using UniqueMemoryDc = UniqueHandle<NullIsInvalidTraits<HDC, DeleteDC>>;
using UniqueGdiBitmap = UniqueHandle<NullIsInvalidTraits<HBITMAP, delete_bitmap>>;

// SelectObject as a scope: the previous object goes back into the DC when the
// scope ends, so what was selected can be deleted afterwards.
class SelectionScope {
public:
    SelectionScope(HDC dc, HGDIOBJ object) noexcept : dc_(dc), previous_(SelectObject(dc, object)) {}
    SelectionScope(const SelectionScope&) = delete;
    SelectionScope& operator=(const SelectionScope&) = delete;
    ~SelectionScope() {
        if (previous_ != nullptr && previous_ != HGDI_ERROR) {
            SelectObject(dc_, previous_);
        }
    }

private:
    HDC dc_;
    HGDIOBJ previous_;
};

// BeginPaint/EndPaint as a scope, so no return path leaves a paint open.
class PaintScope {
public:
    explicit PaintScope(HWND window) noexcept : window_(window), dc_(BeginPaint(window, &paint_)) {}
    PaintScope(const PaintScope&) = delete;
    PaintScope& operator=(const PaintScope&) = delete;
    ~PaintScope() { EndPaint(window_, &paint_); }

    HDC dc() const noexcept { return dc_; }

private:
    HWND window_;
    PAINTSTRUCT paint_{};
    HDC dc_;
};
