#include "net/package_body.h"

#include <vector>

namespace {

constexpr DWORD kTransferBufferSize = 1048576;

}  // namespace

bool request_package(const std::wstring& package_url, HttpRequest& http, RequestRecord* record) {
    return open_request(package_url, L"GET", http, record) &&
           status_is_success(http.request.get(), record);
}

bool copy_body(HINTERNET request, std::uint64_t total, const BodySink& sink,
               const std::atomic<bool>& cancel, RequestRecord* record) {
    if (cancel.load()) {
        return true;
    }
    // On the heap: a static megabyte would sit in the image for the whole run.
    std::vector<std::byte> buffer(kTransferBufferSize);
    std::uint64_t received = 0;
    for (;;) {
        DWORD bytes_read = 0;
        if (!WinHttpReadData(request, buffer.data(), kTransferBufferSize, &bytes_read)) {
            return note_failed_call(record, L"WinHttpReadData");
        }
        if (bytes_read == 0) {
            return received == total || note_fault(record, RequestFault::WrongSize);
        }
        if (!sink(buffer.data(), bytes_read)) {
            return note_fault(record, RequestFault::SinkRefused);
        }
        received += bytes_read;
        note(record, &RequestRecord::body_bytes, received);
        if (received > total) {
            return note_fault(record, RequestFault::WrongSize);
        }
        if (cancel.load()) {
            return true;
        }
    }
}
