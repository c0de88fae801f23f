// The distribution check's report: plain text lines for a console, a CI log
// or a file, made from what the steps saw.
#pragma once

#include <cstdint>
#include <string>

#include "check/distribution_check.h"

// "512 B/s", "1.5 KiB/s", "129.4 MiB/s"; "-" when no time passed.
std::wstring throughput_text(std::uint64_t bytes, std::uint64_t elapsed_us);

// The lines for one step: what was asked, what came back, and the verdict.
std::wstring step_report_text(const StepReport& step);

// The whole report, ending with what the downloader would do.
std::wstring check_report_text(const std::wstring& manifest_url, const CheckResult& result);

// UTF-8 bytes of `text`.
std::string to_utf8(const std::wstring& text);
