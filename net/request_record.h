// What a request of the pipeline met on its way. The steps fill one only when
// their caller hands it in (the distribution check does); the downloader
// hands none, so its steps make exactly the same calls either way. The note
// functions take the record as handed in and are the one place that decides
// whether anything is kept.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

// The first rule a step found broken.
enum class RequestFault {
    None,
    CallFailed,      // failed_call and system_error say which call and why
    NotHttpAddress,  // the text does not parse as an http or https address
    Status,          // the response status is outside 200 to 299
    BodyTooLong,     // a manifest past its size limit
    NoText,          // a manifest that is empty, blank or not strict UTF-8
    NoLength,        // no Content-Length that fits the header buffer
    BadLength,       // a Content-Length that is not a number from 1 up
    SinkRefused,     // the keeper of the body could not take a chunk
    WrongSize,       // a body shorter or longer than the size announced
};

struct RequestRecord {
    RequestFault fault = RequestFault::None;
    const wchar_t* failed_call = nullptr;
    DWORD system_error = 0;
    // 0 until a response status was read.
    DWORD status = 0;
    // The Content-Length header as the server sent it (HEAD).
    std::wstring length_text;
    std::uint64_t body_bytes = 0;
    // The manifest's trimmed text.
    std::wstring text;
};

// Sets one field of `record`, as in note(record, &RequestRecord::status, 200).
template <typename Field>
void note(RequestRecord* record, Field RequestRecord::*field, std::type_identity_t<Field> value) {
    if (record != nullptr) {
        record->*field = std::move(value);
    }
}

// Notes `fault` in `record` when there is one; returns false, for the
// failing step to return.
bool note_fault(RequestRecord* record, RequestFault fault);

// Notes the platform call that has just failed, with its GetLastError;
// returns false.
bool note_failed_call(RequestRecord* record, const wchar_t* call,
                      RequestFault fault = RequestFault::CallFailed);
