// What the footer shows: the progress fraction, a speed sampled by the
// painter, and the one-line progress text. Pure arithmetic over byte counts
// and tick counts.
#pragma once

#include <cstdint>
#include <string>

struct SpeedSampler {
    std::uint64_t sample_tick = 0;  // 0: no sample yet
    std::uint64_t sample_bytes = 0;
    double speed_mib_per_s = 0.0;
};

// Takes a sample once at least half a second passed since the last one; a
// counter that went down (a new transfer) starts sampling again at speed 0.
void sample_speed(SpeedSampler& sampler, std::uint64_t received, std::uint64_t now_tick);

// received / total limited to 0..1; 0 while the total is unknown.
double progress_fraction(std::uint64_t received, std::uint64_t total);

// The whole percentage the progress line shows for a fraction, truncated.
int whole_percent(double fraction);

std::wstring format_progress_line(double fraction, std::uint64_t received, std::uint64_t total,
                                  double speed_mib_per_s);
