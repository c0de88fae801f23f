// TalvorenCheck [manifest address]: runs the downloader's network steps
// against a distribution server and says what the downloader would do there.
// Without an address it checks the one the downloader of the same build
// reads. Exit code 0 only when the download would complete.
#include <windows.h>

#include <string>

#include "app/system_libraries.h"
#include "check/distribution_check.h"
#include "check/report.h"
#include "net/manifest.h"

namespace {

constexpr int kWouldComplete = 0;
constexpr int kWouldFail = 1;
constexpr int kUsage = 2;

// A console takes UTF-16 as it is; a pipe or file gets UTF-8 bytes, so the
// report reads the same in a console, a CI log and under Wine.
void write_out(const std::wstring& text) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const std::string bytes = to_utf8(text);
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    restrict_library_search();
    if (argc > 2) {
        write_out(std::wstring(L"usage: TalvorenCheck [manifest address]\r\n"
                               L"Without one it checks ") +
                  built_manifest_url() + L"\r\n");
        return kUsage;
    }
    const std::wstring manifest_url = argc == 2 ? argv[1] : built_manifest_url();
    const CheckResult result = run_distribution_check(manifest_url);
    write_out(check_report_text(manifest_url, result));
    return result.downloader_message == nullptr ? kWouldComplete : kWouldFail;
}
