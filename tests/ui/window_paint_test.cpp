// Pixels of the real window under Wine, in each state a download goes
// through. Stand-in workers put DownloadState where a real worker would.
#include <gtest/gtest.h>

#include "app/download_state.h"
#include "tests/support/run_window.h"
#include "tests/support/window_capture.h"
#include "tests/support/window_driver.h"
#include "ui/carousel.h"
#include "ui/layout.h"
#include "ui/painter.h"

namespace {

constexpr std::uint32_t kBackground = 0x12161F;
constexpr std::uint32_t kBar = 0x181E2A;
constexpr std::uint32_t kTrack = 0x323B4A;
constexpr std::uint32_t kGradientStart = 0x409CFF;
constexpr std::uint32_t kGradientEnd = 0x5CE1BE;
constexpr std::uint32_t kCompleted = 0x2ECC71;

int red(std::uint32_t pixel) { return static_cast<int>((pixel >> 16) & 0xFF); }
int green(std::uint32_t pixel) { return static_cast<int>((pixel >> 8) & 0xFF); }
int blue(std::uint32_t pixel) { return static_cast<int>(pixel & 0xFF); }

void set_progress(DownloadPhase phase, std::uint64_t received, std::uint64_t total,
                  const wchar_t* status) {
    set_status_text(status);
    download_state.bytes_total.exchange(total);
    download_state.bytes_received.exchange(received);
    download_state.phase.exchange(phase);
}

// Reads the client area once a frame painted after the last change has
// reached it, and keeps a screenshot of the whole desktop for people to look at.
Capture settle_and_capture(HWND window, const wchar_t* screenshot) {
    const Capture capture = capture_next_frame(window);
    save_png(capture_screen(), screenshot_path(screenshot));
    return capture;
}

struct Probe {
    const Capture& capture;
    WindowLayout layout;

    explicit Probe(const Capture& c) : capture(c), layout(compute_layout(c.width, c.height)) {}

    int track_middle() const { return static_cast<int>(layout.track_rect.y + 9); }
    std::uint32_t on_track(float x) const {
        return capture.at(static_cast<int>(layout.track_rect.x + x), track_middle());
    }
};

// Bars and a centred status line: what every state shows.
void expect_frame(const Capture& capture) {
    ASSERT_GT(capture.width, 700);
    const Probe probe(capture);
    EXPECT_TRUE(colour_near(capture.at(3, 3), kBar, 2));
    EXPECT_TRUE(colour_near(capture.at(3, capture.height - 3), kBar, 2));

    // The status line: bright pixels inside the header, centred in it.
    int left = capture.width;
    int right = -1;
    for (int y = 0; y < static_cast<int>(probe.layout.header_height); ++y) {
        for (int x = 0; x < capture.width; ++x) {
            const std::uint32_t pixel = capture.at(x, y);
            if (red(pixel) > 200 && green(pixel) > 200 && blue(pixel) > 200) {
                left = std::min(left, x);
                right = std::max(right, x);
            }
        }
    }
    ASSERT_GE(right, left) << "no status text in the header";
    EXPECT_NEAR((left + right) / 2.0, capture.width / 2.0, 4.0);
}

}  // namespace

TEST(WindowPaint, PreparingShowsTitleFirstBannerAndAnEmptyTrack) {
    const int exit_code = run_window_with({no_work, no_work}, [](HWND window) {
        const Capture capture = settle_and_capture(window, L"preparing.png");
        expect_frame(capture);
        const Probe probe(capture);
        // Slot 0 is the blue banner; it fills the band.
        const LayoutRect band = probe.layout.carousel_rect;
        const std::uint32_t banner = capture.at(static_cast<int>(band.width * 0.05f),
                                                static_cast<int>(band.y + band.height * 0.5f));
        EXPECT_GT(blue(banner), red(banner) + 40) << std::hex << banner;
        EXPECT_FALSE(colour_near(banner, kBackground, 10));
        // Size unknown: no fill, not even the 18-pixel minimum.
        EXPECT_TRUE(colour_near(probe.on_track(9), kTrack, 6)) << std::hex << probe.on_track(9);
    });
    EXPECT_EQ(exit_code, 0);
}

TEST(WindowPaint, DownloadingFillsHalfTheTrackWithTheBlueToTealGradient) {
    const int exit_code = run_window_with({no_work, no_work}, [](HWND window) {
        set_progress(Downloading, 500, 1000, L"正在下载Talvoren软件包");
        const Capture capture = settle_and_capture(window, L"downloading.png");
        expect_frame(capture);
        const Probe probe(capture);
        const float filled = probe.layout.track_rect.width * 0.5f;
        EXPECT_TRUE(colour_near(probe.on_track(5), kGradientStart, 16))
            << std::hex << probe.on_track(5);
        EXPECT_TRUE(colour_near(probe.on_track(filled - 5), kGradientEnd, 16))
            << std::hex << probe.on_track(filled - 5);
        EXPECT_TRUE(colour_near(probe.on_track(filled + 10), kTrack, 6));
    });
    EXPECT_EQ(exit_code, 0);
}

namespace {

// Rightmost pixel of the progress line's light text, or -1 when there is none.
int progress_line_right_edge(const Capture& capture) {
    const LayoutRect box = Probe(capture).layout.progress_text_rect;
    int right = -1;
    for (int y = static_cast<int>(box.y); y < static_cast<int>(box.y + box.height); ++y) {
        for (int x = 0; x < capture.width; ++x) {
            if (green(capture.at(x, y)) > 150) {
                right = std::max(right, x);
            }
        }
    }
    return right;
}

}  // namespace

TEST(WindowPaint, ATransferInProgressShowsItsSampledSpeedAndRemainingTime) {
    constexpr std::uint64_t kMiB = 1048576;
    int right_before_speed = -1;
    int right_with_speed = -1;
    bool speed_shown = false;
    // Set before the window exists: its first frame takes the first speed
    // sample, so the 280 MB never moved at any speed and no remaining time
    // is shown until bytes arrive.
    set_progress(Downloading, 280 * kMiB, 700 * kMiB, L"正在下载Talvoren软件包");
    const int exit_code = run_window_with({no_work, no_work}, [&](HWND window) {
        right_before_speed = progress_line_right_edge(capture_next_frame(window));
        // Bytes keep arriving, in the steps a transfer worker's writes come
        // in, until a sample has seen them. "    剩余时间: 1 分 6 秒" and a
        // wider speed add well over 100 pixels.
        speed_shown = wait_until([&] {
            download_state.bytes_received.fetch_add(100 * 1024);
            right_with_speed = progress_line_right_edge(capture_client(window));
            return right_with_speed > right_before_speed + 100;
        });
        settle_and_capture(window, L"downloading-live.png");
    });
    EXPECT_EQ(exit_code, 0);
    ASSERT_GT(right_before_speed, 0);
    EXPECT_TRUE(speed_shown);
    EXPECT_GT(right_with_speed, right_before_speed + 100);
}

TEST(WindowPaint, CompletedFillsTheWholeTrackSolidGreen) {
    const int exit_code = run_window_with({no_work, no_work}, [](HWND window) {
        set_progress(Completed, 1000, 1000, L"TalvorenSetup.zip 下载完成");
        const Capture capture = settle_and_capture(window, L"completed.png");
        expect_frame(capture);
        const Probe probe(capture);
        for (const float x : {5.0f, probe.layout.track_rect.width / 2,
                              probe.layout.track_rect.width - 5}) {
            EXPECT_TRUE(colour_near(probe.on_track(x), kCompleted, 6))
                << x << ": " << std::hex << probe.on_track(x);
        }
    });
    EXPECT_EQ(exit_code, 0);
}

TEST(WindowPaint, TinyProgressShowsAMinimumPillAndFailureKeepsTheGradient) {
    const int exit_code = run_window_with({no_work, no_work}, [](HWND window) {
        // 0.1% of ~780 px is under half a pixel: no fill at all.
        set_progress(Downloading, 1, 2000, L"正在下载Talvoren软件包");
        Capture capture = settle_and_capture(window, L"downloading-start.png");
        EXPECT_TRUE(colour_near(Probe(capture).on_track(9), kTrack, 6));

        // 0.5%: about 4 px, drawn as an 18-pixel pill.
        set_progress(Downloading, 10, 2000, L"正在下载Talvoren软件包");
        capture = settle_and_capture(window, L"downloading-early.png");
        const std::uint32_t pill = Probe(capture).on_track(9);
        EXPECT_FALSE(colour_near(pill, kTrack, 20)) << std::hex << pill;
        EXPECT_GT(blue(pill), red(pill) + 40) << std::hex << pill;
        EXPECT_TRUE(colour_near(Probe(capture).on_track(30), kTrack, 6));

        report_failure(window, L"安装包下载中断，未完成的文件已删除。");
        HWND box = wait_for_message_box(L"下载失败", kWaitTimeoutMs);
        ASSERT_NE(box, nullptr);
        capture = settle_and_capture(window, L"failed.png");
        expect_frame(capture);
        EXPECT_GT(blue(Probe(capture).on_track(9)), red(Probe(capture).on_track(9)) + 40);
        press_message_box_button(box, IDOK);
    });
    EXPECT_EQ(exit_code, 0);
}

TEST(WindowPaint, ConfirmationAndCancellationScreens) {
    const WorkerBody ask = [](HWND window) noexcept {
        download_state.bytes_total.exchange(300ull * 1048576);
        download_state.phase.exchange(AwaitingConfirmation);
        PostMessageW(window, WM_APP_CONFIRM, 0, 0);
    };
    const int exit_code = run_window_with({ask, no_work}, [](HWND window) {
        HWND box = wait_for_message_box(L"下载确认", kWaitTimeoutMs);
        ASSERT_NE(box, nullptr);
        expect_frame(settle_and_capture(window, L"asking.png"));
        press_message_box_button(box, IDNO);
        ASSERT_TRUE(wait_until([] { return download_state.phase.load() == Cancelled; }));
        const Capture capture = settle_and_capture(window, L"cancelled.png");
        expect_frame(capture);
        EXPECT_TRUE(colour_near(Probe(capture).on_track(9), kTrack, 6));
    });
    EXPECT_EQ(exit_code, 0);
}

TEST(WindowPaint, MinimisedDrawsNothingAndResizingRemakesBufferAndCopies) {
    bool buffer_while_minimised = true;
    int width_after_restore = 0;
    RECT client_after_restore{};
    bool old_bitmap_deleted = false;
    int scaled_width = 0;
    int expected_scaled_width = -1;
    const int exit_code = run_window_with(
        {no_work, no_work},
        [&](HWND window) {
            // Whatever paint the minimised window still had to do is done first.
            on_window_thread(window, [&] {
                UpdateWindow(window);
                buffer_while_minimised = static_cast<bool>(back_buffer.memory_dc);
            });

            ShowWindow(window, SW_RESTORE);
            capture_next_frame(window);
            HBITMAP first = nullptr;
            on_window_thread(window, [&] {
                width_after_restore = back_buffer.width;
                first = back_buffer.bitmap.get();
            });
            GetClientRect(window, &client_after_restore);

            SetWindowPos(window, nullptr, 0, 0, 1000, 700, SWP_NOMOVE | SWP_NOZORDER);
            RECT client{};
            GetClientRect(window, &client);
            capture_next_frame(window);
            old_bitmap_deleted = GetObjectType(first) == 0;
            const WindowLayout layout = compute_layout(client.right, client.bottom);
            expected_scaled_width =
                fit_inside(layout.carousel_rect.width, layout.carousel_rect.height, 800, 300).width;
            on_window_thread(window, [&] {
                scaled_width = carousel.scaled_widths[back_buffer.drawn.carousel.current];
            });
        },
        SW_SHOWMINIMIZED);
    EXPECT_EQ(exit_code, 0);
    EXPECT_FALSE(buffer_while_minimised);
    EXPECT_EQ(width_after_restore, client_after_restore.right);
    EXPECT_TRUE(old_bitmap_deleted);
    EXPECT_EQ(scaled_width, expected_scaled_width);
}
