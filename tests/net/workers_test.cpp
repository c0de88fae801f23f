// The real window with the real workers against the fixture's server: each
// case writes the manifest, answers the boxes as a user would and checks the
// state, the boxes and the package file the run leaves behind.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "app/download_state.h"
#include "net/file_location.h"
#include "net/workers.h"
#include "tests/net/served.h"
#include "tests/support/run_window.h"
#include "tests/support/window_driver.h"

namespace {

constexpr DWORD kTimeoutMs = 15000;
constexpr WorkerBodies kRealWorkers{PreparationWorker, TransferWorker};
constexpr char kInterrupted[] = "安装包下载中断，未完成的文件已删除。";

std::wstring local_package(const std::wstring& name) {
    return package_file_path(program_directory(), name);
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring utf8(const std::string& text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

// Answers the confirmation with `button`; returns false if none came.
bool answer_confirmation(int button) {
    HWND box = wait_for_message_box(L"下载确认", kTimeoutMs);
    return box != nullptr && press_message_box_button(box, button);
}

// Text of the next box with `caption`, after pressing its OK; empty if none.
std::wstring take_box(const std::wstring& caption) {
    HWND box = wait_for_message_box(caption, kTimeoutMs);
    if (box == nullptr) {
        return {};
    }
    const std::wstring text = message_box_text(box);
    press_message_box_button(box, IDOK);
    return text;
}

}  // namespace

TEST(Workers, YesReplacesAnOldFileWithExactlyTheServedBytes) {
    const std::string package = random_bytes(3 * 1048576 + 12345);
    write_served_file("pkgs/WorkerYes.zip", package);
    write_manifest("https://localhost:8443/pkgs/WorkerYes.zip\r\n");
    const std::wstring path = local_package(L"WorkerYes.zip");
    {
        std::ofstream old(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
        old << random_bytes(5 * 1048576);
    }

    bool confirmed = false;
    bool completed = false;
    const int exit_code = run_window_with(kRealWorkers, [&](HWND) {
        confirmed = answer_confirmation(IDYES);
        completed = wait_until([] { return download_state.phase.load() == Completed; },
                               kTimeoutMs);
        EXPECT_EQ(find_message_box(L"下载失败"), nullptr);
    });
    EXPECT_EQ(exit_code, 0);
    EXPECT_TRUE(confirmed);
    EXPECT_TRUE(completed);
    EXPECT_EQ(copy_status_text(), L"WorkerYes.zip 下载完成");
    EXPECT_EQ(download_state.bytes_total.load(), package.size());
    EXPECT_EQ(download_state.bytes_received.load(), package.size());
    EXPECT_EQ(download_state.package_url, L"https://localhost:8443/pkgs/WorkerYes.zip");
    EXPECT_EQ(download_state.package_path, path);
    EXPECT_TRUE(read_file(path) == package);
    DeleteFileW(path.c_str());
}

TEST(Workers, NoCancelsWithoutCreatingTheFile) {
    write_manifest("https://localhost:8443/_x/size=100000/WorkerNo.zip");
    const std::wstring path = local_package(L"WorkerNo.zip");
    DeleteFileW(path.c_str());

    bool confirmed = false;
    const int exit_code = run_window_with(kRealWorkers, [&](HWND) {
        confirmed = answer_confirmation(IDNO);
        wait_until([] { return copy_status_text() == L"用户已取消下载"; });
    });
    EXPECT_EQ(exit_code, 0);
    EXPECT_TRUE(confirmed);
    EXPECT_EQ(download_state.phase.load(), Cancelled);
    EXPECT_EQ(copy_status_text(), L"用户已取消下载");
    EXPECT_EQ(download_state.bytes_total.load(), 100000u);
    EXPECT_FALSE(exists(path));
}

using Ending = std::pair<WPARAM, LPARAM>;
class SessionEndOrClose : public testing::TestWithParam<Ending> {};

TEST_P(SessionEndOrClose, DuringTheDownloadDeletesThePartialFileSilently) {
    const auto [ending, reasons] = GetParam();
    write_manifest("https://localhost:8443/_x/size=50000000/rate=2000000/WorkerClose.zip");
    const std::wstring path = local_package(L"WorkerClose.zip");
    DeleteFileW(path.c_str());

    bool receiving = false;
    bool file_while_receiving = false;
    const int exit_code = run_window_with(kRealWorkers, [&](HWND window) {
        ASSERT_TRUE(answer_confirmation(IDYES));
        receiving = wait_until([] { return download_state.bytes_received.load() > 0; });
        file_while_receiving = exists(path);
        SendMessageW(window, WM_ENDSESSION, ending, reasons);
        EXPECT_EQ(exists(path), ending == FALSE);  // Windows may end us now
        EXPECT_EQ(IsWindow(window) != FALSE, (reasons & ENDSESSION_CLOSEAPP) == 0);
    });
    EXPECT_EQ(exit_code, 0);
    EXPECT_TRUE(receiving);
    EXPECT_TRUE(file_while_receiving);
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(download_state.phase.load(), Downloading);
    EXPECT_EQ(copy_message_text(), L"");
    EXPECT_LT(download_state.bytes_received.load(), 50000000u);
}

INSTANTIATE_TEST_SUITE_P(Ends, SessionEndOrClose,
                         testing::Values(Ending{FALSE, 0}, Ending{TRUE, ENDSESSION_CLOSEAPP}));

namespace {

// Set on the window's thread at the end of the window's life, after its
// worker was joined and before its queue is dropped with it. The quit that
// the window posted passes any filter, so the message is compared too.
std::atomic<bool> confirmation_queued_at_end{false};

LRESULT CALLBACK look_in_queue_at_end(int code, WPARAM sent_by_thread, LPARAM lparam) {
    const CWPSTRUCT* sent = reinterpret_cast<const CWPSTRUCT*>(lparam);
    MSG queued{};
    if (code == HC_ACTION && sent->message == WM_NCDESTROY &&
        PeekMessageW(&queued, nullptr, WM_APP_CONFIRM, WM_APP_CONFIRM, PM_NOREMOVE) &&
        queued.message == WM_APP_CONFIRM) {
        confirmation_queued_at_end.exchange(true);
    }
    return CallNextHookEx(nullptr, code, sent_by_thread, lparam);
}

}  // namespace

TEST(Workers, ClosingWhileTheSizeIsAskedEndsReadyButPostsNothing) {
    // Marks this run's request in the log.
    const std::string target = "/_x/head-delay=2/size=10/WorkerLate.zip?run=" +
                               std::to_string(GetTickCount64());
    write_manifest("https://localhost:8443" + target);
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, look_in_queue_at_end, nullptr,
                                   GetCurrentThreadId());
    ASSERT_NE(hook, nullptr);
    bool size_asked = false;
    const int exit_code = run_window_with(kRealWorkers, [&](HWND) {
        size_asked = wait_until(
            [&] { return request_logged("HEAD " + target + " OmbrixDownloader/1.0"); });
    });
    UnhookWindowsHookEx(hook);
    EXPECT_EQ(exit_code, 0);
    EXPECT_TRUE(size_asked);
    EXPECT_EQ(download_state.phase.load(), AwaitingConfirmation);
    EXPECT_EQ(download_state.bytes_total.load(), 10u);
    EXPECT_EQ(copy_status_text(), kWindowTitle);
    EXPECT_FALSE(confirmation_queued_at_end.load());
}

namespace {

struct FailureCase {
    const char* name;
    std::string manifest;
    std::string text;
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.name;
}

std::string case_name(const testing::TestParamInfo<FailureCase>& info) {
    return info.param.name;
}

class PreparationFailure : public testing::TestWithParam<FailureCase> {};
class TransferFailure : public testing::TestWithParam<FailureCase> {};

}  // namespace

TEST_P(PreparationFailure, ReportsItsTextAndStoresNoPackage) {
    write_manifest(GetParam().manifest);
    std::wstring text;
    const int exit_code =
        run_window_with(kRealWorkers, [&](HWND) { text = take_box(L"下载失败"); });
    EXPECT_EQ(exit_code, 0);
    EXPECT_EQ(text, utf8(GetParam().text));
    EXPECT_EQ(copy_status_text(), L"下载失败");
    EXPECT_EQ(download_state.phase.load(), Failed);
    EXPECT_EQ(download_state.bytes_total.load(), 0u);
    EXPECT_EQ(download_state.package_url, L"");
    EXPECT_EQ(download_state.package_path, L"");
}

INSTANTIATE_TEST_SUITE_P(
    Steps, PreparationFailure,
    testing::Values(
        FailureCase{"ManifestFtp", "ftp://localhost/p.zip", "无法读取安装包下载地址"},
        FailureCase{"ManifestTooLong", std::string(65537, ' '), "无法读取安装包下载地址"},
        FailureCase{"HeadStatus404", "https://localhost:8443/_x/status=404/size=9/P.zip",
                    "无法获取安装包大小"},
        FailureCase{"HeadNoLength", "https://localhost:8443/_x/head-cl=none/size=9/P.zip",
                    "无法获取安装包大小"},
        FailureCase{"HeadZeroLength", "https://localhost:8443/_x/size=0/P.zip",
                    "无法获取安装包大小"},
        FailureCase{"HeadRefused", "http://localhost:1/P.zip", "无法获取安装包大小"}),
    case_name);

TEST_P(TransferFailure, ReportsItsTextAndLeavesNoFile) {
    write_manifest(GetParam().manifest);
    const std::wstring path = local_package(utf8(GetParam().name) + L".zip");
    DeleteFileW(path.c_str());
    // A folder where the file should go makes the file impossible to create.
    const bool folder_in_the_way = std::string(GetParam().name) == "FolderInTheWay";
    if (folder_in_the_way) {
        CreateDirectoryW(path.c_str(), nullptr);
    }

    std::wstring text;
    const int exit_code = run_window_with(kRealWorkers, [&](HWND) {
        ASSERT_TRUE(answer_confirmation(IDYES));
        if (std::string(GetParam().name) == "Held") {
            // A reader that does not share delete (the C library's), till 500 ms after the cut.
            std::ifstream held;
            wait_until([&] { held.open(std::filesystem::path(path)); return held.is_open(); });
            wait_until([] { return download_state.bytes_received.load() == 2000000; });
            Sleep(500);
        }
        text = take_box(L"下载失败");
    });
    EXPECT_EQ(exit_code, 0);
    EXPECT_EQ(text, utf8(GetParam().text));
    EXPECT_EQ(copy_status_text(), L"下载失败");
    EXPECT_EQ(download_state.phase.load(), Failed);
    // A body longer than announced is cut off after the read that overran.
    EXPECT_LE(download_state.bytes_received.load(), download_state.bytes_total.load() + 1048576);
    if (folder_in_the_way) {
        EXPECT_TRUE(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
        RemoveDirectoryW(path.c_str());
    } else {
        EXPECT_FALSE(exists(path));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, TransferFailure,
    testing::Values(
        FailureCase{"GetStatus404",
                    "https://localhost:8443/_x/size=100000/get-status=404/GetStatus404.zip",
                    "无法连接安装包下载服务器"},
        FailureCase{"FolderInTheWay", "https://localhost:8443/_x/size=100000/FolderInTheWay.zip",
                    "无法在程序目录创建安装包文件"},
        FailureCase{"ShorterBody",
                    "https://localhost:8443/_x/size=3000000/get-size=2999999/ShorterBody.zip",
                    kInterrupted},
        FailureCase{"LongerBody",
                    "https://localhost:8443/_x/size=100000/get-size=4294967296/LongerBody.zip",
                    kInterrupted},
        FailureCase{"CutShort", "https://localhost:8443/_x/size=3000000/cut=2000000/CutShort.zip",
                    kInterrupted},
        FailureCase{"Held",
                    "https://localhost:8443/_x/size=3000000/rate=1000000/cut=2000000/Held.zip",
                    kInterrupted},
        FailureCase{"Reset", "https://localhost:8443/_x/size=3000000/reset=1500000/Reset.zip",
                    kInterrupted},
        FailureCase{"Stall", "https://localhost:8443/_x/size=3000000/stall=1000000:8/Stall.zip",
                    kInterrupted}),
    case_name);
