// The one record through which the user-interface thread and the worker
// thread cooperate. Workers write it and then post one of the WM_APP_
// messages; the window reads everything it needs from here, never from the
// message parameters.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

inline constexpr wchar_t kWindowTitle[] = L"Talvoren下载器";

enum DownloadPhase : std::int32_t {
    Preparing = 0,
    AwaitingConfirmation = 1,
    Downloading = 2,
    Completed = 3,
    Cancelled = 4,
    Failed = 5,
};

// Posted to the main window with wParam 0 and lParam 0.
inline constexpr UINT WM_APP_CONFIRM = 0x8001;
inline constexpr UINT WM_APP_DISK_WARNING = 0x8002;
inline constexpr UINT WM_APP_FAILED = 0x8003;
inline constexpr UINT WM_APP_COMPLETED = 0x8004;

struct DownloadState {
    // Guards the four strings; held only to copy or assign, never across a
    // message box, network, file or drawing call.
    std::mutex state_mutex;
    std::wstring package_url;
    std::wstring package_path;
    std::wstring message_text;
    std::wstring status_text{kWindowTitle};

    std::atomic<DownloadPhase> phase{Preparing};
    std::atomic<bool> cancel_requested{false};
    std::atomic<std::uint64_t> bytes_received{0};
    std::atomic<std::uint64_t> bytes_total{0};

    // User-interface thread only.
    std::thread worker_thread;
    std::uint64_t start_tick = 0;
};

extern DownloadState download_state;

// The single way a worker reports a failed step: stores the text for the
// error box and "下载失败" as the status line, sets Failed, then posts
// WM_APP_FAILED. Posts even while the window is closing.
void report_failure(HWND window, const std::wstring& text);

void set_status_text(const std::wstring& text);

std::wstring copy_status_text();
std::wstring copy_message_text();
