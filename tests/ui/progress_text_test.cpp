#include <gtest/gtest.h>

#include "ui/progress_text.h"

namespace {

constexpr std::uint64_t kMiB = 1048576;

}  // namespace

TEST(ProgressLine, ShowsEachStateWithItsExactBlanks) {
    struct Case {
        std::uint64_t received, total;
        double speed;
        const wchar_t* line;
    };
    const Case cases[] = {
        {0, 0, 0.0, L"下载进度: 0%    0.0 MB / -- MB    速度: 0.00 MB/s"},
        {0, 200 * kMiB, 0.0, L"下载进度: 0%    0.0 MB / 200.0 MB    速度: 0.00 MB/s"},
        {50 * kMiB, 200 * kMiB, 2.5,
         L"下载进度: 25%    50.0 MB / 200.0 MB    速度: 2.50 MB/s    剩余时间: 1 分 0 秒"},
        {200 * kMiB, 200 * kMiB, 0.0, L"下载进度: 100%    200.0 MB / 200.0 MB    速度: 0.00 MB/s"},
        // finished with a speed still on screen: no remaining time
        {200 * kMiB, 200 * kMiB, 3.0, L"下载进度: 100%    200.0 MB / 200.0 MB    速度: 3.00 MB/s"},
        // a speed with no known total shows no remaining time
        {5 * kMiB, 0, 1.0, L"下载进度: 0%    5.0 MB / -- MB    速度: 1.00 MB/s"},
        // 45.7 s left
        {0, static_cast<std::uint64_t>(45.7 * kMiB), 1.0,
         L"下载进度: 0%    0.0 MB / 45.7 MB    速度: 1.00 MB/s    剩余时间: 45 秒"},
        // 150 minutes left: minutes are not folded into hours
        {0, 9000 * kMiB, 1.0,
         L"下载进度: 0%    0.0 MB / 9000.0 MB    速度: 1.00 MB/s    剩余时间: 150 分 0 秒"},
        // 59.9 s: no minutes part
        {0, static_cast<std::uint64_t>(59.9 * kMiB), 1.0,
         L"下载进度: 0%    0.0 MB / 59.9 MB    速度: 1.00 MB/s    剩余时间: 59 秒"},
        // under a second left
        {kMiB - 1000, kMiB, 1.0,
         L"下载进度: 99%    1.0 MB / 1.0 MB    速度: 1.00 MB/s    剩余时间: 0 秒"},
        // rounding to one and two decimals
        {kMiB / 20 * 3, 10 * kMiB, 0.125,
         L"下载进度: 1%    0.1 MB / 10.0 MB    速度: 0.12 MB/s    剩余时间: 1 分 18 秒"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(format_progress_line(progress_fraction(c.received, c.total), c.received,
                                       c.total, c.speed),
                  c.line);
    }
}

TEST(ProgressLine, RemainingTimeBeyondThirtyTwoBitsStaysWellFormed) {
    // 8 EiB at one byte a second: far past 2^31 - 1 seconds.
    const std::uint64_t total = 1ull << 63;
    const std::wstring line =
        format_progress_line(progress_fraction(0, total), 0, total, 1.0 / kMiB);
    EXPECT_EQ(line.substr(line.find(L"剩余时间")),
              L"剩余时间: 35791394 分 7 秒");  // 2147483647 s
}

TEST(ProgressFraction, IsLimitedToZeroToOneAndTruncatesThePercentage) {
    EXPECT_EQ(progress_fraction(5, 0), 0.0);
    EXPECT_EQ(progress_fraction(0, 10), 0.0);
    EXPECT_EQ(progress_fraction(10, 10), 1.0);
    EXPECT_EQ(progress_fraction(11, 10), 1.0);
    EXPECT_EQ(format_progress_line(progress_fraction(999, 1000), 999, 1000, 0.0).substr(0, 9),
              L"下载进度: 99%");
    EXPECT_EQ(format_progress_line(progress_fraction(1100, 1000), 1100, 1000, 0.0).substr(0, 10),
              L"下载进度: 100%");
}

TEST(SpeedSampler, SamplesEveryHalfSecondAndRestartsWhenTheCounterDrops) {
    SpeedSampler sampler;
    sample_speed(sampler, 4 * kMiB, 10000);  // first call: speed 0, sample taken
    EXPECT_EQ(sampler.speed_mib_per_s, 0.0);
    EXPECT_EQ(sampler.sample_tick, 10000u);
    EXPECT_EQ(sampler.sample_bytes, 4 * kMiB);

    sample_speed(sampler, 5 * kMiB, 10490);  // 0.49 s: too soon, nothing changes
    EXPECT_EQ(sampler.speed_mib_per_s, 0.0);
    EXPECT_EQ(sampler.sample_tick, 10000u);

    sample_speed(sampler, 5 * kMiB, 10500);  // exactly 0.5 s: 1 MiB in 0.5 s
    EXPECT_DOUBLE_EQ(sampler.speed_mib_per_s, 2.0);
    EXPECT_EQ(sampler.sample_tick, 10500u);
    EXPECT_EQ(format_progress_line(0.0, 0, 0, sampler.speed_mib_per_s),
              L"下载进度: 0%    0.0 MB / -- MB    速度: 2.00 MB/s");

    sample_speed(sampler, 5 * kMiB + 10, 10700);  // keeps the previous speed
    EXPECT_DOUBLE_EQ(sampler.speed_mib_per_s, 2.0);

    sample_speed(sampler, 0, 10800);  // a new transfer: counter went down
    EXPECT_EQ(sampler.speed_mib_per_s, 0.0);
    EXPECT_EQ(sampler.sample_tick, 10800u);
    EXPECT_EQ(sampler.sample_bytes, 0u);

    sample_speed(sampler, 0, 11400);  // no new bytes: the speed falls to 0
    EXPECT_EQ(sampler.speed_mib_per_s, 0.0);
}
