#include "ui/progress_text.h"

#include <cstdio>
#include <limits>

namespace {

constexpr double kBytesPerMegabyte = 1048576.0;
constexpr double kShortestSampleSeconds = 0.5;

// Fixed-point text without a stream: a wide string stream alone would add
// most of a megabyte to the static exe. The mingw printf rounds the exact
// binary value to nearest, as a stream in fixed notation does.
void append_fixed(std::wstring& line, double value, int digits) {
    char text[64];
    const int length = std::snprintf(text, sizeof text, "%.*f", digits, value);
    for (int i = 0; i < length && i < static_cast<int>(sizeof text) - 1; ++i) {
        line += static_cast<wchar_t>(text[i]);
    }
}

// Seconds as a 32-bit count; a transfer so slow that its remaining time does
// not fit shows the largest count instead of an overflowed one.
int whole_seconds(double seconds) {
    constexpr double kMax = std::numeric_limits<std::int32_t>::max();
    return seconds >= kMax ? std::numeric_limits<std::int32_t>::max() : static_cast<int>(seconds);
}

}  // namespace

void sample_speed(SpeedSampler& sampler, std::uint64_t received, std::uint64_t now_tick) {
    if (sampler.sample_tick != 0 && received >= sampler.sample_bytes) {
        const double seconds = static_cast<double>(now_tick - sampler.sample_tick) / 1000.0;
        if (seconds >= kShortestSampleSeconds) {
            sampler.speed_mib_per_s =
                static_cast<double>(received - sampler.sample_bytes) / seconds / kBytesPerMegabyte;
            sampler.sample_tick = now_tick;
            sampler.sample_bytes = received;
        }
        return;
    }
    sampler.speed_mib_per_s = 0.0;
    sampler.sample_tick = now_tick;
    sampler.sample_bytes = received;
}

double progress_fraction(std::uint64_t received, std::uint64_t total) {
    if (total == 0) {
        return 0.0;
    }
    const double fraction = static_cast<double>(received) / static_cast<double>(total);
    return fraction < 0.0 ? 0.0 : (fraction > 1.0 ? 1.0 : fraction);
}

int whole_percent(double fraction) {
    return static_cast<int>(fraction * 100.0);
}

std::wstring format_progress_line(double fraction, std::uint64_t received, std::uint64_t total,
                                  double speed_mib_per_s) {
    std::wstring line = L"下载进度: ";
    line += std::to_wstring(whole_percent(fraction));
    line += L"%    ";
    append_fixed(line, static_cast<double>(received) / kBytesPerMegabyte, 1);
    line += L" MB / ";
    if (total != 0) {
        append_fixed(line, static_cast<double>(total) / kBytesPerMegabyte, 1);
        line += L" MB";
    } else {
        line += L"-- MB";
    }
    line += L"    速度: ";
    append_fixed(line, speed_mib_per_s, 2);
    line += L" MB/s";
    if (speed_mib_per_s > 0.0 && total != 0 && received < total) {
        const int seconds = whole_seconds(static_cast<double>(total - received) /
                                          (speed_mib_per_s * kBytesPerMegabyte));
        line += L"    剩余时间: ";
        if (seconds / 60 > 0) {
            line += std::to_wstring(seconds / 60);
            line += L" 分 ";
        }
        line += std::to_wstring(seconds % 60);
        line += L" 秒";
    }
    return line;
}
