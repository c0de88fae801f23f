#include "net/http_request.h"

#include "app/system_libraries.h"
#include "net/tls_choice.h"

namespace {

constexpr wchar_t kUserAgent[] = L"OmbrixDownloader/1.0";
constexpr int kResolveTimeoutMs = 15000;
constexpr int kConnectTimeoutMs = 15000;
constexpr int kSendTimeoutMs = 30000;
// Short on purpose: a stalled server must not keep a closing window waiting.
constexpr int kReceiveTimeoutMs = 5000;

// Request flags for a scheme; false for anything but http and https.
bool request_flags_for(INTERNET_SCHEME scheme, DWORD& flags) {
    if (scheme == INTERNET_SCHEME_HTTP) {
        flags = 0;
        return true;
    }
    if (scheme == INTERNET_SCHEME_HTTPS) {
        flags = WINHTTP_FLAG_SECURE;
        return true;
    }
    return false;
}

// Nothing older than TLS 1.2 may carry an installer, and Windows 7's WinHTTP
// offers TLS 1.2 only when a program asks for it. Systems that predate
// TLS 1.3 refuse its flag, and not all with the same error; whatever the
// refusal, they get TLS 1.2 alone.
bool limit_to_modern_tls(HINTERNET session, SecureProtocolsCall first_choice) {
    return first_choice(session, WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 |
                                     WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3) ||
           set_secure_protocols(session, WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2);
}

// WinHTTP is delay-loaded: nothing may call into it before this has found
// it in the system folder. Without it every request fails as a network
// failure would.
bool winhttp_loaded() {
    static const bool loaded = load_system_library(winhttp_imports);
    return loaded;
}

}  // namespace

bool set_secure_protocols(HINTERNET session, DWORD protocols) {
    return WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                            sizeof(protocols)) != FALSE;
}

bool crack_url(const std::wstring& url, UrlParts& parts) {
    URL_COMPONENTS components{};
    components.dwStructSize = sizeof(components);
    // All-ones lengths ask for each piece as a pointer into `url`.
    components.dwHostNameLength = static_cast<DWORD>(-1);
    components.dwUrlPathLength = static_cast<DWORD>(-1);
    components.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!winhttp_loaded() || !WinHttpCrackUrl(url.c_str(), 0, 0, &components)) {
        return false;
    }
    parts.scheme = components.nScheme;
    parts.port = components.nPort;
    parts.host.assign(components.lpszHostName, components.dwHostNameLength);
    parts.path.assign(components.lpszUrlPath, components.dwUrlPathLength);
    parts.extra.assign(components.lpszExtraInfo, components.dwExtraInfoLength);
    return true;
}

bool is_http_address(const std::wstring& url) {
    UrlParts parts;
    DWORD flags = 0;
    return crack_url(url, parts) && request_flags_for(parts.scheme, flags);
}

bool open_request(const std::wstring& url, const wchar_t* verb, HttpRequest& http,
                  RequestRecord* record) {
    return open_request_choosing_tls(url, verb, http, record, set_secure_protocols);
}

bool open_request_choosing_tls(const std::wstring& url, const wchar_t* verb, HttpRequest& http,
                               RequestRecord* record, SecureProtocolsCall first_choice) {
    UrlParts parts;
    DWORD flags = 0;
    if (!crack_url(url, parts)) {
        return note_failed_call(record, L"WinHttpCrackUrl", RequestFault::NotHttpAddress);
    }
    if (!request_flags_for(parts.scheme, flags)) {
        return note_fault(record, RequestFault::NotHttpAddress);
    }
    std::wstring target = parts.path + parts.extra;
    if (target.empty()) {
        target = L"/";
    }

    http.session.reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!http.session) {
        return note_failed_call(record, L"WinHttpOpen");
    }
    if (!limit_to_modern_tls(http.session.get(), first_choice)) {
        return note_failed_call(record, L"WinHttpSetOption");
    }
    WinHttpSetTimeouts(http.session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                       kReceiveTimeoutMs);

    http.connection.reset(WinHttpConnect(http.session.get(), parts.host.c_str(), parts.port, 0));
    if (!http.connection) {
        return note_failed_call(record, L"WinHttpConnect");
    }
    http.request.reset(WinHttpOpenRequest(http.connection.get(), verb, target.c_str(), nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    if (!http.request) {
        return note_failed_call(record, L"WinHttpOpenRequest");
    }
    if (!WinHttpSendRequest(http.request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        return note_failed_call(record, L"WinHttpSendRequest");
    }
    if (!WinHttpReceiveResponse(http.request.get(), nullptr)) {
        return note_failed_call(record, L"WinHttpReceiveResponse");
    }
    return true;
}

bool status_is_success(HINTERNET request, RequestRecord* record) {
    DWORD status = 0;
    DWORD length = sizeof(status);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &length,
                             WINHTTP_NO_HEADER_INDEX)) {
        return note_failed_call(record, L"WinHttpQueryHeaders");
    }
    note(record, &RequestRecord::status, status);
    if (status < 200 || status > 299) {
        return note_fault(record, RequestFault::Status);
    }
    return true;
}
