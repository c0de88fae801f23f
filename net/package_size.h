// The package size, asked of the package server with HEAD before any byte of
// the package is transferred.
#pragma once

#include <cstdint>
#include <string>

#include "net/request_record.h"

// Reads a Content-Length text: it must begin with a decimal digit and its
// leading digits must make a value from 1 to 2^64-1; anything after them is
// ignored. Blanks, signs and values that overflow are refused.
bool parse_content_length(const wchar_t* text, std::uint64_t& size);

// HEAD of `package_url`: true with the size when the status is 2xx and the
// Content-Length parses. The request is closed before it returns. A `record`
// gets the status and the header's text.
bool query_package_size(const std::wstring& package_url, std::uint64_t& size,
                        RequestRecord* record = nullptr);
