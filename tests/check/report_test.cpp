// The distribution check's report lines, from records as the steps fill them.
#include <gtest/gtest.h>

#include "check/report.h"

TEST(CheckReport, ThroughputPicksItsUnitAndSaysDashWithoutTime) {
    struct Case {
        std::uint64_t bytes;
        std::uint64_t elapsed_us;
        const wchar_t* text;
    };
    const Case cases[] = {
        {0, 0, L"-"},
        {1000, 0, L"-"},
        {1023, 1000000, L"1023 B/s"},
        {1024, 1000000, L"1.0 KiB/s"},
        {3 * 1048576, 2000000, L"1.5 MiB/s"},
        {1048575, 1000000, L"1024.0 KiB/s"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(throughput_text(c.bytes, c.elapsed_us), c.text) << c.bytes << " " << c.elapsed_us;
    }
}

TEST(CheckReport, AFailedStepSaysWhatItSawAndWhichRuleBroke) {
    StepReport size;
    size.step = CheckStep::Size;
    size.method = L"HEAD";
    size.url = L"https://h/p.zip";
    size.elapsed_us = 12000;
    size.record.status = 200;
    size.record.fault = RequestFault::NoLength;
    size.record.failed_call = L"WinHttpQueryHeaders";
    size.record.system_error = 12150;
    size.error_text = L"The header was not found";
    EXPECT_EQ(step_report_text(size),
              L"package size: HEAD https://h/p.zip\r\n"
              L"  status 200, 0.012 s\r\n"
              L"  FAILED: no usable Content-Length "
              L"(WinHttpQueryHeaders failed, system error 12150: The header was not found)\r\n");

    // A refused handshake is named as TLS, whatever call met it.
    StepReport manifest;
    manifest.step = CheckStep::Manifest;
    manifest.method = L"GET";
    manifest.url = L"https://h/clients/version.txt";
    manifest.record.fault = RequestFault::CallFailed;
    manifest.record.failed_call = L"WinHttpSendRequest";
    manifest.record.system_error = 12157;
    EXPECT_EQ(step_report_text(manifest),
              L"manifest: GET https://h/clients/version.txt\r\n"
              L"  0 bytes in 0.000 s (-)\r\n"
              L"  FAILED: TLS failure: no TLS 1.2 or 1.3 connection could be made "
              L"(WinHttpSendRequest failed, system error 12157)\r\n");

    StepReport package;
    package.step = CheckStep::Package;
    package.url = L"https://h/p.zip";
    package.size = 1000;
    package.elapsed_us = 500000;
    package.record.status = 200;
    package.record.body_bytes = 900;
    package.record.fault = RequestFault::WrongSize;
    CheckResult result;
    result.steps = {package};
    result.downloader_message = L"安装包下载中断，未完成的文件已删除。";
    EXPECT_EQ(check_report_text(L"https://h/clients/version.txt", result),
              L"Distribution check of https://h/clients/version.txt\r\n"
              L"package: GET https://h/p.zip\r\n"
              L"  status 200, 900 bytes in 0.500 s (1.8 KiB/s)\r\n"
              L"  FAILED: the body has 900 bytes, the HEAD said 1000\r\n"
              L"The downloader would show: 安装包下载中断，未完成的文件已删除。\r\n");
}
