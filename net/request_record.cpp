#include "net/request_record.h"

bool note_fault(RequestRecord* record, RequestFault fault) {
    if (record != nullptr) {
        record->fault = fault;
    }
    return false;
}

bool note_failed_call(RequestRecord* record, const wchar_t* call, RequestFault fault) {
    if (record != nullptr) {
        record->system_error = GetLastError();
        record->failed_call = call;
        record->fault = fault;
    }
    return false;
}
