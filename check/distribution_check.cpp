#include "check/distribution_check.h"

#include <windows.h>

#include <atomic>
#include <functional>

#include "net/failure_text.h"
#include "net/file_location.h"
#include "net/manifest.h"
#include "net/package_body.h"
#include "net/package_size.h"

namespace {

std::uint64_t now_us() {
    LARGE_INTEGER counter{};
    LARGE_INTEGER frequency{};
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    // Whole seconds first: the count times a million overflows after weeks
    // of uptime.
    const auto ticks = static_cast<std::uint64_t>(counter.QuadPart);
    const auto per_second = static_cast<std::uint64_t>(frequency.QuadPart);
    return ticks / per_second * 1000000u + ticks % per_second * 1000000u / per_second;
}

// WinHTTP's errors are worded in its own module, the others by the system.
std::wstring system_error_text(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
            FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
        GetModuleHandleW(L"winhttp.dll"), error, 0, reinterpret_cast<wchar_t*>(&text), 0,
        nullptr);
    if (length == 0) {
        return {};
    }
    std::wstring result(text, length);
    LocalFree(text);
    while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r' ||
                               result.back() == L' ' || result.back() == L'.')) {
        result.pop_back();
    }
    return result;
}

// Runs `body` as one step and keeps its report; returns whether it passed.
bool timed_step(CheckResult& result, CheckStep step, const wchar_t* method, const std::wstring& url,
                const std::function<bool(StepReport&)>& body) {
    StepReport report;
    report.step = step;
    report.method = method;
    report.url = url;
    const std::uint64_t start = now_us();
    report.passed = body(report);
    report.elapsed_us = now_us() - start;
    if (report.record.failed_call != nullptr) {
        report.error_text = system_error_text(report.record.system_error);
    }
    result.steps.push_back(std::move(report));
    return result.steps.back().passed;
}

}  // namespace

CheckResult run_distribution_check(const std::wstring& manifest_url) {
    CheckResult result;
    std::wstring package_url;
    if (!timed_step(result, CheckStep::Manifest, L"GET", manifest_url, [&](StepReport& step) {
            return fetch_manifest_from(manifest_url, package_url, &step.record);
        })) {
        result.downloader_message = failure_text(Preparation::ManifestUnreadable);
        return result;
    }
    result.file_name = package_file_name(package_url);
    UrlParts package_parts;
    result.package_without_tls =
        crack_url(package_url, package_parts) && package_parts.scheme == INTERNET_SCHEME_HTTP;
    std::uint64_t size = 0;
    if (!timed_step(result, CheckStep::Size, L"HEAD", package_url, [&](StepReport& step) {
            const bool known = query_package_size(package_url, size, &step.record);
            step.size = size;
            return known;
        })) {
        result.downloader_message = failure_text(Preparation::SizeUnknown);
        return result;
    }
    // The GET and its body are two steps for the downloader, with two
    // messages; the check times them together, as the user waits for both.
    HttpRequest http;
    bool connected = false;
    const std::atomic<bool> never_cancelled{false};
    const bool complete =
        timed_step(result, CheckStep::Package, L"GET", package_url, [&](StepReport& step) {
            step.size = size;
            connected = request_package(package_url, http, &step.record);
            return connected &&
                   copy_body(
                       http.request.get(), size, [](const std::byte*, DWORD) { return true; },
                       never_cancelled, &step.record);
        });
    if (!complete) {
        result.downloader_message =
            failure_text(connected ? Transfer::Interrupted : Transfer::ConnectionFailed);
    }
    return result;
}
