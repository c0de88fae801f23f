// The package itself: its GET and the copy of its body to whatever keeps it.
// The transfer worker keeps it in the package file; the distribution check
// counts it and drops it.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "net/http_request.h"
#include "net/request_record.h"

// Takes one chunk of the body; false when it could not keep all of it.
using BodySink = std::function<bool(const std::byte* data, DWORD size)>;

// GET of the package address: true once a 2xx response's headers are in.
bool request_package(const std::wstring& package_url, HttpRequest& http,
                     RequestRecord* record = nullptr);

// Reads the body of `request` in reads of up to 1 MiB and hands each chunk to
// `sink`. True when the body ended after exactly `total` bytes, all kept, or
// when `cancel` was raised (looked at before the first read and after each
// chunk; the caller tells that case apart). False when a read failed, the
// sink refused a chunk, or the body ended short of `total` or grew past it:
// a body past `total` can never complete, so it is not read on.
bool copy_body(HINTERNET request, std::uint64_t total, const BodySink& sink,
               const std::atomic<bool>& cancel, RequestRecord* record = nullptr);
