// How open_request chooses its session's TLS versions, apart so that a test
// can stand in for a system that refuses TLS 1.3 without every caller of
// open_request seeing the seam.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

#include "net/http_request.h"

// Lets `session` speak exactly the TLS versions in `protocols`
// (WINHTTP_FLAG_SECURE_PROTOCOL_* flags); false when WinHTTP refuses them.
bool set_secure_protocols(HINTERNET session, DWORD protocols);
using SecureProtocolsCall = bool (*)(HINTERNET session, DWORD protocols);

// open_request, asking `first_choice` for TLS 1.2 and 1.3 and
// set_secure_protocols for TLS 1.2 alone when `first_choice` fails.
bool open_request_choosing_tls(const std::wstring& url, const wchar_t* verb, HttpRequest& http,
                               RequestRecord* record, SecureProtocolsCall first_choice);
