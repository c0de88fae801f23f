#include "net/package_size.h"

#include <cerrno>
#include <cwchar>

#include "net/http_request.h"

namespace {

// 64 wide characters with room for the terminating null; a longer value
// makes the query fail.
constexpr DWORD kLengthTextBytes = 128;

}  // namespace

bool parse_content_length(const wchar_t* text, std::uint64_t& size) {
    // wcstoull alone would skip blanks and accept a sign, turning "-1" into
    // 2^64-1.
    if (*text < L'0' || *text > L'9') {
        return false;
    }
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long long value = std::wcstoull(text, &end, 10);
    if (end == text || errno == ERANGE || value == 0) {
        return false;
    }
    size = value;
    return true;
}

bool query_package_size(const std::wstring& package_url, std::uint64_t& size,
                        RequestRecord* record) {
    HttpRequest http;
    if (!open_request(package_url, L"HEAD", http, record) ||
        !status_is_success(http.request.get(), record)) {
        return false;
    }
    wchar_t length_text[kLengthTextBytes / sizeof(wchar_t)] = {};
    DWORD length = kLengthTextBytes;
    if (!WinHttpQueryHeaders(http.request.get(), WINHTTP_QUERY_CONTENT_LENGTH,
                             WINHTTP_HEADER_NAME_BY_INDEX, length_text, &length,
                             WINHTTP_NO_HEADER_INDEX)) {
        return note_failed_call(record, L"WinHttpQueryHeaders", RequestFault::NoLength);
    }
    note(record, &RequestRecord::length_text, length_text);
    if (!parse_content_length(length_text, size)) {
        return note_fault(record, RequestFault::BadLength);
    }
    return true;
}
