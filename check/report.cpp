#include "check/report.h"

#include <windows.h>
#include <winhttp.h>

#include <cwchar>

#include "net/manifest.h"

namespace {

constexpr wchar_t kNewLine[] = L"\r\n";

const wchar_t* step_name(CheckStep step) {
    switch (step) {
    case CheckStep::Manifest:
        return L"manifest";
    case CheckStep::Size:
        return L"package size";
    case CheckStep::Package:
        return L"package";
    }
    return L"";
}

std::wstring seconds_text(std::uint64_t elapsed_us) {
    wchar_t text[32];
    std::swprintf(text, 32, L"%.3f s", static_cast<double>(elapsed_us) / 1e6);
    return text;
}

// What went wrong in TLS, for the errors WinHTTP gives there; null for the
// others. The vendor can mend either on the server.
const wchar_t* tls_failure(DWORD error) {
    switch (error) {
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
        return L"TLS failure: no TLS 1.2 or 1.3 connection could be made";
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
        return L"TLS failure: the server's certificate was refused";
    default:
        return nullptr;
    }
}

std::wstring fault_text(const StepReport& step) {
    const RequestRecord& record = step.record;
    const std::wstring call = record.failed_call == nullptr ? L"" : record.failed_call;
    std::wstring error = call + L" failed, system error " + std::to_wstring(record.system_error);
    if (!step.error_text.empty()) {
        error += L": " + step.error_text;
    }
    switch (record.fault) {
    case RequestFault::None:
        return L"";
    case RequestFault::CallFailed:
        if (const wchar_t* tls = tls_failure(record.system_error)) {
            return std::wstring(tls) + L" (" + error + L")";
        }
        return error;
    case RequestFault::NotHttpAddress:
        if (record.failed_call != nullptr) {
            return L"not an http or https address (" + error + L")";
        }
        return L"not an http or https address";
    case RequestFault::Status:
        return L"status " + std::to_wstring(record.status) + L" is outside 200 to 299";
    case RequestFault::BodyTooLong:
        return L"the body is longer than " + std::to_wstring(manifest_body_limit) + L" bytes";
    case RequestFault::NoText:
        return L"the body is empty, blank or not valid UTF-8";
    case RequestFault::NoLength:
        return L"no usable Content-Length (" + error + L")";
    case RequestFault::BadLength:
        return L"Content-Length is not a number from 1 up";
    case RequestFault::SinkRefused:
        return L"the body could not be kept";
    case RequestFault::WrongSize:
        return L"the body has " + std::to_wstring(record.body_bytes) + L" bytes, the HEAD said " +
               std::to_wstring(step.size);
    }
    return L"";
}

std::wstring seen_text(const StepReport& step) {
    const RequestRecord& record = step.record;
    std::wstring text = L"  ";
    if (record.status != 0) {
        text += L"status " + std::to_wstring(record.status) + L", ";
    }
    switch (step.step) {
    case CheckStep::Manifest:
    case CheckStep::Package:
        text += std::to_wstring(record.body_bytes) + L" bytes in " + seconds_text(step.elapsed_us) +
                L" (" + throughput_text(record.body_bytes, step.elapsed_us) + L")";
        break;
    case CheckStep::Size:
        if (!record.length_text.empty()) {
            text += L"Content-Length \"" + record.length_text + L"\", ";
        }
        text += seconds_text(step.elapsed_us);
        break;
    }
    return text + kNewLine;
}

}  // namespace

std::wstring throughput_text(std::uint64_t bytes, std::uint64_t elapsed_us) {
    if (elapsed_us == 0) {
        return L"-";
    }
    const double per_second = static_cast<double>(bytes) * 1e6 / static_cast<double>(elapsed_us);
    wchar_t text[32];
    if (per_second < 1024) {
        std::swprintf(text, 32, L"%.0f B/s", per_second);
    } else if (per_second < 1024 * 1024) {
        std::swprintf(text, 32, L"%.1f KiB/s", per_second / 1024);
    } else {
        std::swprintf(text, 32, L"%.1f MiB/s", per_second / (1024 * 1024));
    }
    return text;
}

std::wstring step_report_text(const StepReport& step) {
    std::wstring text = std::wstring(step_name(step.step)) + L": " + step.method + L" " + step.url +
                        kNewLine + seen_text(step);
    if (step.step == CheckStep::Manifest && (step.passed || !step.record.text.empty())) {
        text += L"  text \"" + step.record.text + L"\"" + kNewLine;
    }
    if (step.passed) {
        return text + L"  passed" + kNewLine;
    }
    return text + L"  FAILED: " + fault_text(step) + kNewLine;
}

std::wstring check_report_text(const std::wstring& manifest_url, const CheckResult& result) {
    std::wstring text = L"Distribution check of " + manifest_url + kNewLine;
    for (const StepReport& step : result.steps) {
        text += step_report_text(step);
    }
    if (result.package_without_tls) {
        text += std::wstring(L"The package travels without TLS: its address is plain http.") +
                kNewLine;
    }
    if (result.downloader_message == nullptr) {
        return text + L"The downloader would complete the download and store it as " +
               result.file_name + L"." + kNewLine;
    }
    return text + L"The downloader would show: " + result.downloader_message + kNewLine;
}

std::string to_utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, bytes.data(), size, nullptr, nullptr);
    return bytes;
}
