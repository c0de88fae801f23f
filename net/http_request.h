// The one way the pipeline talks HTTP: open a request, send it, wait for the
// response headers, then let the caller read status, headers and body.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

#include "app/handles.h"
#include "net/request_record.h"

// Declared in the order they are opened, so that destruction closes the
// request first, then the connection, then the session.
struct HttpRequest {
    UniqueInternetHandle session;
    UniqueInternetHandle connection;
    UniqueInternetHandle request;
};

// The pieces of an absolute address, as WinHTTP's own parser cuts them.
// `extra` is the query, from its "?" on; the path never holds it.
struct UrlParts {
    INTERNET_SCHEME scheme = 0;
    INTERNET_PORT port = 0;
    std::wstring host;
    std::wstring path;
    std::wstring extra;
};

// Parses with WinHttpCrackUrl, no decoding and no escaping. False when the
// parser refuses the text.
bool crack_url(const std::wstring& url, UrlParts& parts);

// True for an address WinHTTP can parse whose scheme is http or https.
bool is_http_address(const std::wstring& url);

// Sends `verb` ("GET" or "HEAD") to `url` and waits for the response
// headers. True once they are in; then `http.request` is ready for
// status_is_success, header queries and (after GET) body reads. Its session
// speaks TLS 1.2 or 1.3, nothing older, or the request fails: it asks for
// both, and for TLS 1.2 alone when the system refuses that. On false the
// handles opened so far stay in `http`, which closes them. A `record` gets
// the call that failed and its system error.
bool open_request(const std::wstring& url, const wchar_t* verb, HttpRequest& http,
                  RequestRecord* record = nullptr);

// True when the response status is 200 to 299 inclusive. A `record` gets the
// status.
bool status_is_success(HINTERNET request, RequestRecord* record = nullptr);
