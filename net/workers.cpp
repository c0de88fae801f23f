#include "net/workers.h"

#include <cstddef>
#include <cstdint>

#include "app/download_state.h"
#include "app/handles.h"
#include "net/failure_text.h"
#include "net/file_location.h"
#include "net/http_request.h"
#include "net/manifest.h"
#include "net/package_body.h"
#include "net/package_size.h"

namespace {

constexpr DWORD kVolumePathLength = 260;
// How long a refused delete of the partial file is tried again, and how
// often: long enough for a scanner or viewer that glanced at it, short enough
// not to hold up a closing window or an ending session.
constexpr ULONGLONG kDeleteRetryMs = 2000;
constexpr DWORD kDeleteRetryStepMs = 50;

bool cancel_requested() {
    return download_state.cancel_requested.load();
}

std::wstring space_warning_text(const std::wstring& drive_label) {
    return drive_label + L"盘剩余空间不足, 下载取消";
}

std::wstring completion_text(const std::wstring& package_path) {
    return package_path.substr(package_path.rfind(L'\\') + 1) + L" 下载完成";
}

struct PackagePlan {
    std::wstring url;
    std::uint64_t size = 0;
    std::wstring directory;
    std::uint64_t free_bytes = 0;
};

Preparation prepare(PackagePlan& plan) {
    if (!fetch_manifest(plan.url)) {
        return Preparation::ManifestUnreadable;
    }
    if (!query_package_size(plan.url, plan.size)) {
        return Preparation::SizeUnknown;
    }
    plan.directory = program_directory();
    // The directory itself, not its root: the answer then honours quotas and
    // mount points below the root. A share's root is named only with its
    // trailing backslash.
    ULARGE_INTEGER free_bytes{};
    if (!GetDiskFreeSpaceExW(with_trailing_backslash(plan.directory).c_str(), &free_bytes,
                             nullptr, nullptr)) {
        return Preparation::FreeSpaceUnknown;
    }
    plan.free_bytes = free_bytes.QuadPart;
    return Preparation::Ready;
}

std::wstring volume_drive_label(const std::wstring& directory) {
    wchar_t volume_path[kVolumePathLength] = {};
    if (!GetVolumePathNameW(directory.c_str(), volume_path, kVolumePathLength)) {
        return drive_label(L"");
    }
    return drive_label(volume_path);
}

// Writes one chunk to `file`, continuing partial writes, and counts every
// written byte in bytes_received at once, for the progress line.
bool write_chunk(HANDLE file, const std::byte* data, DWORD size) {
    for (DWORD offset = 0; offset < size;) {
        DWORD written = 0;
        if (!WriteFile(file, data + offset, size - offset, &written, nullptr) || written == 0) {
            return false;
        }
        offset += written;
        download_state.bytes_received.fetch_add(written);
    }
    return true;
}

// Other programs may hold the package open without sharing delete for a
// moment; while Windows answers so, the delete is tried again, for a while.
void delete_partial_file(const std::wstring& path) {
    const ULONGLONG deadline = GetTickCount64() + kDeleteRetryMs;
    while (!DeleteFileW(path.c_str())) {
        const DWORD error = GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) ||
            GetTickCount64() >= deadline) {
            return;
        }
        Sleep(kDeleteRetryStepMs);
    }
}

Transfer transfer(const std::wstring& url, const std::wstring& path, HttpRequest& http) {
    if (!request_package(url, http)) {
        return Transfer::ConnectionFailed;
    }
    bool complete = false;
    {
        // Readers may look at the growing file; nobody may write or delete it.
        const UniqueKernelHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                                  nullptr, CREATE_ALWAYS,
                                                  FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL,
                                                  nullptr));
        if (!file) {
            return Transfer::FileFailed;
        }
        // bytes_received starts at 0 (start_transfer) and counts what the file
        // took, so it holds bytes_total exactly when the copy succeeds.
        complete = copy_body(
            http.request.get(), download_state.bytes_total.load(),
            [&file](const std::byte* data, DWORD size) {
                return write_chunk(file.get(), data, size);
            },
            download_state.cancel_requested);
    }
    if (cancel_requested()) {
        delete_partial_file(path);
        return Transfer::Cancelled;
    }
    if (complete) {
        return Transfer::Completed;
    }
    delete_partial_file(path);
    return Transfer::Interrupted;
}

}  // namespace

std::wstring drive_label(const std::wstring& volume_path) {
    if (volume_path.size() >= 2 && volume_path[1] == L':') {
        return volume_path.substr(0, 1);
    }
    return L"当前磁盘";
}

void PreparationWorker(HWND window) noexcept {
    PackagePlan plan;
    const Preparation outcome = prepare(plan);
    if (outcome != Preparation::Ready) {
        report_failure(window, failure_text(outcome));
        return;
    }
    const std::wstring label = volume_drive_label(plan.directory);
    const std::wstring path = package_file_path(plan.directory, package_file_name(plan.url));

    download_state.bytes_total.exchange(plan.size);
    download_state.bytes_received.exchange(0);
    {
        std::lock_guard lock(download_state.state_mutex);
        download_state.package_url = plan.url;
        download_state.package_path = path;
    }
    if (plan.free_bytes >= plan.size) {
        download_state.phase.exchange(AwaitingConfirmation);
        if (!cancel_requested()) {
            PostMessageW(window, WM_APP_CONFIRM, 0, 0);
        }
        return;
    }
    const std::wstring warning = space_warning_text(label);
    {
        std::lock_guard lock(download_state.state_mutex);
        download_state.status_text = warning;
        download_state.message_text = warning;
    }
    download_state.phase.exchange(Cancelled);
    if (!cancel_requested()) {
        PostMessageW(window, WM_APP_DISK_WARNING, 0, 0);
    }
}

void TransferWorker(HWND window) noexcept {
    std::wstring url;
    std::wstring path;
    {
        std::lock_guard lock(download_state.state_mutex);
        url = download_state.package_url;
        path = download_state.package_path;
    }
    // Outlives the report below: failures are reported before the request,
    // connection and session are closed.
    HttpRequest http;
    const Transfer outcome = transfer(url, path, http);
    if (outcome == Transfer::Completed) {
        download_state.phase.exchange(Completed);
        set_status_text(completion_text(path));
        PostMessageW(window, WM_APP_COMPLETED, 0, 0);
    } else if (outcome != Transfer::Cancelled) {
        report_failure(window, failure_text(outcome));
    }
}
