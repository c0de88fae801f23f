// The downloader's own network steps, run against any distribution server
// and watched: the manifest GET, the package HEAD and the package GET, whose
// body is counted and dropped. Nothing is written to disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/request_record.h"

enum class CheckStep { Manifest, Size, Package };

struct StepReport {
    CheckStep step = CheckStep::Manifest;
    const wchar_t* method = L"GET";
    std::wstring url;
    RequestRecord record;
    // The system's wording of record.system_error, when it has one.
    std::wstring error_text;
    // The package size the HEAD gave; what the body is held to.
    std::uint64_t size = 0;
    std::uint64_t elapsed_us = 0;
    bool passed = false;
};

struct CheckResult {
    // The steps that ran, in order; only the last may have failed.
    std::vector<StepReport> steps;
    // The downloader's message for the first failed step; null when the
    // download would complete.
    const wchar_t* downloader_message = nullptr;
    // The name the downloader would store the package under, once the
    // manifest gave an address.
    std::wstring file_name;
    // The manifest named a plain http package address: the downloader takes
    // it, and the package reaches users unprotected.
    bool package_without_tls = false;
};

CheckResult run_distribution_check(const std::wstring& manifest_url);
