#include "net/manifest.h"

#include <windows.h>

#include <cwctype>
#include <vector>

#include "net/http_request.h"

namespace {

// Set from the build configuration: test builds point at a loopback server.
// The build passes the address as a narrow literal; L"" widens it.
constexpr wchar_t kManifestUrl[] = L"" TALVOREN_MANIFEST_URL;

// Appends the body to `body`; false on a failed read or once the body has
// grown past manifest_body_limit, which stops the reading at once.
bool read_manifest_body(HINTERNET request, std::string& body, RequestRecord* record) {
    std::vector<char> chunk(read_chunk_size);
    for (;;) {
        DWORD bytes_read = 0;
        if (!WinHttpReadData(request, chunk.data(), static_cast<DWORD>(chunk.size()),
                             &bytes_read)) {
            return note_failed_call(record, L"WinHttpReadData");
        }
        if (bytes_read == 0) {
            return true;
        }
        body.append(chunk.data(), bytes_read);
        note(record, &RequestRecord::body_bytes, body.size());
        if (body.size() > manifest_body_limit) {
            return note_fault(record, RequestFault::BodyTooLong);
        }
    }
}

}  // namespace

const wchar_t* built_manifest_url() {
    return kManifestUrl;
}

bool fetch_manifest(std::wstring& out_url) {
    return fetch_manifest_from(kManifestUrl, out_url);
}

bool fetch_manifest_from(const std::wstring& manifest_url, std::wstring& out_url,
                         RequestRecord* record) {
    std::string body;
    {
        HttpRequest http;
        if (!open_request(manifest_url, L"GET", http, record) ||
            !status_is_success(http.request.get(), record) ||
            !read_manifest_body(http.request.get(), body, record)) {
            return false;
        }
    }
    out_url = trim_blanks(utf8_to_wide(body));
    note(record, &RequestRecord::text, out_url);
    if (out_url.empty()) {
        return note_fault(record, RequestFault::NoText);
    }
    if (!is_http_address(out_url)) {
        return note_fault(record, RequestFault::NotHttpAddress);
    }
    return true;
}

std::wstring utf8_to_wide(std::string_view bytes) {
    if (bytes.empty()) {
        return {};
    }
    const int byte_count = static_cast<int>(bytes.size());
    const int unit_count =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), byte_count, nullptr, 0);
    if (unit_count <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(unit_count), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), byte_count, wide.data(),
                        unit_count);
    if (wide.front() == L'\xFEFF') {
        wide.erase(0, 1);
    }
    return wide;
}

std::wstring trim_blanks(std::wstring_view text) {
    std::size_t first = 0;
    while (first < text.size() && std::iswspace(text[first])) {
        ++first;
    }
    std::size_t end = text.size();
    while (end > first && std::iswspace(text[end - 1])) {
        --end;
    }
    return std::wstring(text.substr(first, end - first));
}
