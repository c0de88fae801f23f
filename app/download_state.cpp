#include "app/download_state.h"

DownloadState download_state;

void report_failure(HWND window, const std::wstring& text) {
    {
        std::lock_guard lock(download_state.state_mutex);
        download_state.message_text = text;
        download_state.status_text = L"下载失败";
    }
    download_state.phase.exchange(Failed);
    PostMessageW(window, WM_APP_FAILED, 0, 0);
}

void set_status_text(const std::wstring& text) {
    std::lock_guard lock(download_state.state_mutex);
    download_state.status_text = text;
}

std::wstring copy_status_text() {
    std::lock_guard lock(download_state.state_mutex);
    return download_state.status_text;
}

std::wstring copy_message_text() {
    std::lock_guard lock(download_state.state_mutex);
    return download_state.message_text;
}
