#include "net/file_location.h"

#include <windows.h>

#include <array>
#include <cwctype>

#include "net/http_request.h"

namespace {

constexpr DWORD kFirstPathBufferSize = 260;

bool is_forbidden_character(wchar_t c) {
    return c < 0x20 || std::wstring_view(L"<>:\"/\\|?*").find(c) != std::wstring_view::npos;
}

bool equals_ignoring_case(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::towupper(a[i]) != std::towupper(b[i])) {
            return false;
        }
    }
    return true;
}

// Windows maps these names to devices in every directory, whatever follows
// the first dot, and ignores blanks before that dot.
bool is_device_name(std::wstring_view name) {
    std::wstring_view stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') {
        stem.remove_suffix(1);
    }
    static constexpr std::array<std::wstring_view, 4> kPlainDevices{L"CON", L"PRN", L"AUX",
                                                                     L"NUL"};
    for (std::wstring_view device : kPlainDevices) {
        if (equals_ignoring_case(stem, device)) {
            return true;
        }
    }
    return stem.size() == 4 && stem[3] >= L'1' && stem[3] <= L'9' &&
           (equals_ignoring_case(stem.substr(0, 3), L"COM") ||
            equals_ignoring_case(stem.substr(0, 3), L"LPT"));
}

}  // namespace

std::wstring program_directory() {
    std::wstring path(kFirstPathBufferSize, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    // A result that fills the buffer exactly means the path was cut short.
    while (length == path.size()) {
        path.resize(path.size() * 2, L'\0');
        length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    }
    path.resize(length);
    return directory_of(path);
}

std::wstring directory_of(std::wstring_view path) {
    const std::size_t separator = path.find_last_of(L"\\/");
    if (separator == std::wstring_view::npos) {
        return L".";
    }
    return std::wstring(path.substr(0, separator));
}

std::wstring package_file_name(const std::wstring& package_url) {
    UrlParts parts;
    if (!crack_url(package_url, parts) || parts.path.empty()) {
        return kFallbackFileName;
    }
    const std::size_t slash = parts.path.rfind(L'/');
    std::wstring name = slash == std::wstring::npos ? parts.path : parts.path.substr(slash + 1);
    if (!is_plain_file_name(name)) {
        return kFallbackFileName;
    }
    return name;
}

bool is_plain_file_name(std::wstring_view name) {
    if (name.empty()) {
        return false;
    }
    for (wchar_t c : name) {
        if (is_forbidden_character(c)) {
            return false;
        }
    }
    // The trailing-dot test also refuses "." and "..".
    return name.back() != L'.' && name.back() != L' ' && !is_device_name(name);
}

std::wstring with_trailing_backslash(const std::wstring& directory) {
    if (!directory.empty() && directory.back() == L'\\') {
        return directory;
    }
    return directory + L"\\";
}

std::wstring package_file_path(const std::wstring& directory, const std::wstring& name) {
    return directory + L"\\" + name;
}
