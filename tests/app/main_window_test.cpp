// The real window procedure and message loop, driven from a second thread as
// a user would drive them. Worker bodies are replaced by small stand-ins that
// write DownloadState and post exactly what a real worker posts.
#include <gtest/gtest.h>
#include <oleacc.h>

#include <atomic>
#include <thread>

#include "app/download_state.h"
#include "app/main_window.h"
#include "app/system_libraries.h"
#include "tests/support/run_window.h"
#include "tests/support/window_driver.h"
#include "ui/accessible_window.h"

namespace {

constexpr DWORD kTimeoutMs = kWaitTimeoutMs;

void ask_for_confirmation(HWND window) noexcept {
    {
        std::lock_guard lock(download_state.state_mutex);
        download_state.package_url = L"https://localhost/pkg.zip";
        download_state.package_path = L"C:\\pkg.zip";
    }
    download_state.bytes_total.exchange(1000);
    download_state.bytes_received.exchange(0);
    download_state.phase.exchange(AwaitingConfirmation);
    PostMessageW(window, WM_APP_CONFIRM, 0, 0);
}

std::atomic<int> transfer_runs{0};
std::atomic<bool> preparation_done{false};
DownloadPhase phase_seen_by_transfer = Preparing;
std::wstring status_seen_by_transfer;

std::atomic<bool> yes_pressed{false};

// Still running when the Yes closes the box: the transfer must wait for it
// to end.
void ask_then_finish(HWND window) noexcept {
    ask_for_confirmation(window);
    wait_until([] { return yes_pressed.load(); });
    wait_until([] { return find_message_box(L"下载确认") == nullptr; });
    preparation_done.exchange(true);
}

void record_transfer(HWND) noexcept {
    ++transfer_runs;
    if (!preparation_done.load()) {
        ADD_FAILURE() << "transfer started before the preparation worker was joined";
    }
    phase_seen_by_transfer = download_state.phase.load();
    status_seen_by_transfer = copy_status_text();
}

}  // namespace

TEST(WindowPlacement, CentresOnTheScreenAndClampsSmallScreensToZero) {
    struct Case {
        int screen_width, screen_height, x, y;
    };
    const Case cases[] = {
        {1920, 1080, 532, 271}, {1024, 768, 84, 115}, {1025, 769, 84, 115},
        {856, 538, 0, 0},       {857, 539, 0, 0},     {858, 540, 1, 1},
        {800, 600, 0, 31},      {1280, 500, 212, 0},  {0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        const WindowOrigin origin = centred_origin(c.screen_width, c.screen_height);
        EXPECT_EQ(origin.x, c.x) << c.screen_width << "x" << c.screen_height;
        EXPECT_EQ(origin.y, c.y) << c.screen_width << "x" << c.screen_height;
    }
}

TEST(DownloadStateRecord, StartsWithTheTitleAsStatusAndReportsFailuresInOrder) {
    EXPECT_EQ(copy_status_text(), kWindowTitle);
    EXPECT_EQ(download_state.phase.load(), Preparing);
    EXPECT_EQ(download_state.bytes_received.load(), 0u);
    EXPECT_EQ(download_state.bytes_total.load(), 0u);
    EXPECT_FALSE(download_state.cancel_requested.load());

    report_failure(nullptr, L"无法获取安装包大小");
    EXPECT_EQ(copy_message_text(), L"无法获取安装包大小");
    EXPECT_EQ(copy_status_text(), L"下载失败");
    EXPECT_EQ(download_state.phase.load(), Failed);
    MSG posted{};
    ASSERT_TRUE(PeekMessageW(&posted, nullptr, WM_APP_FAILED, WM_APP_FAILED, PM_REMOVE));
    EXPECT_EQ(posted.wParam, 0u);
    EXPECT_EQ(posted.lParam, 0);
}

TEST(MainWindow, AnswerNoCancelsAndStartsNoTransfer) {
    std::wstring body;
    const int exit_code = run_window_with({ask_for_confirmation, record_transfer}, [&](HWND) {
        HWND box = wait_for_message_box(L"下载确认", kTimeoutMs);
        ASSERT_NE(box, nullptr);
        body = message_box_text(box);
        EXPECT_EQ(GetWindow(box, GW_OWNER), FindWindowW(kWindowClass, nullptr));
        ASSERT_TRUE(press_message_box_button(box, IDNO));
        EXPECT_TRUE(wait_until([] { return download_state.phase.load() == Cancelled; }));
        EXPECT_TRUE(wait_until([] { return copy_status_text() == L"用户已取消下载"; }));
    });
    EXPECT_EQ(exit_code, 0);
    EXPECT_EQ(body, L"即将下载Talvoren软件包, 是否继续?");
    EXPECT_EQ(transfer_runs.load(), 0);
    EXPECT_EQ(download_state.phase.load(), Cancelled);
}

TEST(MainWindow, AnswerYesJoinsPreparationThenStartsTheTransfer) {
    const int exit_code = run_window_with({ask_then_finish, record_transfer}, [](HWND) {
        HWND box = wait_for_message_box(L"下载确认", kTimeoutMs);
        ASSERT_NE(box, nullptr);
        download_state.bytes_received.exchange(77);  // must be reset before the transfer
        yes_pressed.exchange(true);
        ASSERT_TRUE(press_message_box_button(box, IDYES));
        EXPECT_TRUE(wait_until([] { return transfer_runs.load() == 1; }));
    });
    EXPECT_EQ(exit_code, 0);
    EXPECT_EQ(transfer_runs.load(), 1);
    EXPECT_EQ(phase_seen_by_transfer, Downloading);
    EXPECT_EQ(status_seen_by_transfer, L"正在下载Talvoren软件包");
    EXPECT_EQ(download_state.bytes_received.load(), 0u);
}

TEST(MainWindow, DiskWarningAndFailureShowTheStoredText) {
    static constexpr wchar_t kWarning[] = L"S盘剩余空间不足, 下载取消";
    const WorkerBody warn = [](HWND window) noexcept {
        {
            std::lock_guard lock(download_state.state_mutex);
            download_state.status_text = kWarning;
            download_state.message_text = kWarning;
        }
        download_state.phase.exchange(Cancelled);
        PostMessageW(window, WM_APP_DISK_WARNING, 0, 0);
    };
    std::wstring warning_body;
    std::wstring failure_body;
    const int exit_code = run_window_with({warn, no_work}, [&](HWND window) {
        HWND box = wait_for_message_box(L"磁盘空间不足", kTimeoutMs);
        ASSERT_NE(box, nullptr);
        warning_body = message_box_text(box);
        EXPECT_EQ(GetWindow(box, GW_OWNER), window);
        ASSERT_TRUE(press_message_box_button(box, IDOK));

        // The same window answers a failure posted the way a worker posts it.
        report_failure(window, L"无法连接安装包下载服务器");
        box = wait_for_message_box(L"下载失败", kTimeoutMs);
        ASSERT_NE(box, nullptr);
        failure_body = message_box_text(box);
        EXPECT_EQ(GetWindow(box, GW_OWNER), window);
        ASSERT_TRUE(press_message_box_button(box, IDOK));
    });
    EXPECT_EQ(exit_code, 0);
    EXPECT_EQ(warning_body, kWarning);
    EXPECT_EQ(failure_body, L"无法连接安装包下载服务器");
    EXPECT_EQ(copy_status_text(), L"下载失败");
}

TEST(MainWindow, ClosingCancelsAndJoinsTheRunningWorker) {
    // Stands in for a worker blocked in a network call that notices the
    // cancellation late and reports a failure nobody will see.
    static std::atomic<bool> busy_running{false};
    const WorkerBody busy = [](HWND window) noexcept {
        busy_running.exchange(true);
        wait_until([] { return download_state.cancel_requested.load(); });
        Sleep(300);
        report_failure(window, L"安装包下载中断，未完成的文件已删除。");
    };
    const int exit_code = run_window_with(
        {busy, no_work}, [](HWND) { EXPECT_TRUE(wait_until([] { return busy_running.load(); })); });
    EXPECT_EQ(exit_code, 0);
    EXPECT_FALSE(download_state.worker_thread.joinable());
    EXPECT_EQ(download_state.phase.load(), Failed);
    EXPECT_EQ(find_message_box(L"下载失败"), nullptr);
}

TEST(MainWindow, MinimisingStopsTheRepaintTimerAndRestoringRepaintsAtOnce) {
    // A timer of the test's own on the same window: while it ticks, the
    // window's thread is taking timer messages, so a repaint timer would too.
    constexpr UINT_PTR kWitnessTimerId = kRepaintTimerId + 1;
    constexpr int kPeriods = 10;
    bool ticking_while_shown = false;
    bool witness_ticked = false;
    int ticks_while_minimised = -1;
    bool repainted_on_restore = false;
    const int exit_code = run_window_with({no_work, no_work}, [&](HWND window) {
        const int shown = timer_ticks_taken(kRepaintTimerId);
        ticking_while_shown =
            wait_until([&] { return timer_ticks_taken(kRepaintTimerId) >= shown + 4; });

        // Returns once the window's thread has handled it.
        ShowWindow(window, SW_MINIMIZE);
        const int minimised = timer_ticks_taken(kRepaintTimerId);
        on_window_thread(window,
                         [&] { SetTimer(window, kWitnessTimerId, kRepaintPeriodMs, nullptr); });
        const int witnessed = timer_ticks_taken(kWitnessTimerId);
        witness_ticked = wait_until(
            [&] { return timer_ticks_taken(kWitnessTimerId) >= witnessed + kPeriods; });
        ticks_while_minimised = timer_ticks_taken(kRepaintTimerId) - minimised;
        on_window_thread(window, [&] { KillTimer(window, kWitnessTimerId); });

        const int paints = paints_taken();
        ShowWindow(window, SW_RESTORE);
        repainted_on_restore = wait_until([&] { return paints_taken() > paints; });
    });
    EXPECT_EQ(exit_code, 0);
    EXPECT_TRUE(ticking_while_shown);
    EXPECT_TRUE(witness_ticked);
    EXPECT_EQ(ticks_while_minimised, 0);
    EXPECT_TRUE(repainted_on_restore);
}

TEST(MainWindow, RefusesToShrinkBelowTheMinimumTrackingSize) {
    RECT shrunk{};
    RECT grown{};
    const int exit_code = run_window_with({no_work, no_work}, [&](HWND window) {
        SetWindowPos(window, nullptr, 0, 0, 500, 300, SWP_NOMOVE | SWP_NOZORDER);
        GetWindowRect(window, &shrunk);
        SetWindowPos(window, nullptr, 0, 0, 1000, 700, SWP_NOMOVE | SWP_NOZORDER);
        GetWindowRect(window, &grown);
    });
    EXPECT_EQ(exit_code, 0);
    EXPECT_EQ(shrunk.right - shrunk.left, kMinTrackWidth);
    EXPECT_EQ(shrunk.bottom - shrunk.top, kMinTrackHeight);
    EXPECT_EQ(grown.right - grown.left, 1000);
    EXPECT_EQ(grown.bottom - grown.top, 700);
}

LONG state_of(IAccessible* object, const VARIANT& child) {
    VARIANT state{};
    return SUCCEEDED(object->get_accState(child, &state)) && state.vt == VT_I4 ? state.lVal : -1;
}

namespace {

// A reader asking for the object while the window is torn down: right after
// WM_DESTROY, and right after WM_NCDESTROY, the window's last message.
struct LateRequests {
    HWND window = nullptr;
    IAccessible* after_destroy = nullptr;
    LRESULT after_nc_destroy = -1;
};
LateRequests late_requests;

LRESULT CALLBACK ask_while_torn_down(int code, WPARAM sent_by_thread, LPARAM lparam) {
    const CWPRETSTRUCT* done = reinterpret_cast<const CWPRETSTRUCT*>(lparam);
    if (code == HC_ACTION && done->hwnd == late_requests.window) {
        const auto ask = [&] {
            return SendMessageW(done->hwnd, WM_GETOBJECT, 0, static_cast<LPARAM>(OBJID_CLIENT));
        };
        if (done->message == WM_DESTROY) {
            ObjectFromLresult(ask(), __uuidof(IAccessible), 0,
                              reinterpret_cast<void**>(&late_requests.after_destroy));
        }
        if (done->message == WM_NCDESTROY) {
            late_requests.after_nc_destroy = ask();
        }
    }
    return CallNextHookEx(nullptr, code, sent_by_thread, lparam);
}

}  // namespace

// The window runs on the test's thread here, so the object itself answers,
// as readers and UI Automation's bridge call it: no child named means the
// object itself, a child may come by reference. A reader may keep the object
// past the window's end and ask again, or ask for it while the window is
// torn down.
TEST(MainWindow, AccessibleObjectAnswersReadersAndIsLetGoWithTheWindow) {
    worker_bodies = {no_work, no_work};
    // The reader's own calls, bound before the first of them.
    ASSERT_TRUE(load_system_library(oleacc_imports) && load_system_library(oleaut32_imports));
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = main_window_proc;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"kept_object_test";
    ASSERT_NE(RegisterClassExW(&window_class), 0);
    HWND window = CreateWindowExW(0, window_class.lpszClassName, kWindowTitle, WS_OVERLAPPEDWINDOW,
                                  0, 0, kWindowWidth, kWindowHeight, nullptr, nullptr,
                                  window_class.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    IAccessible* client = nullptr;
    ASSERT_EQ(AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT),
                                         __uuidof(IAccessible), reinterpret_cast<void**>(&client)),
              S_OK);
    const VARIANT self{};
    VARIANT status = child_variant(kStatusChild);
    const VARIANT progress = child_variant(kProgressChild);
    VARIANT role{};
    EXPECT_EQ(client->get_accRole(self, &role), S_OK);
    EXPECT_EQ(role.lVal, ROLE_SYSTEM_CLIENT);
    VARIANT by_reference{};
    by_reference.vt = VT_BYREF | VT_VARIANT;
    by_reference.pvarVal = &status;
    BSTR name = nullptr;
    EXPECT_EQ(client->get_accName(by_reference, &name), S_OK);
    EXPECT_STREQ(name, kWindowTitle);
    SysFreeString(name);
    VARIANT end{};
    EXPECT_EQ(client->accNavigate(NAVDIR_NEXT, status, &end), S_OK);
    EXPECT_EQ(end.lVal, kProgressChild);
    EXPECT_EQ(client->accNavigate(NAVDIR_MAX, status, &end), E_INVALIDARG);
    UINT type_infos = 7;
    EXPECT_EQ(client->GetTypeInfoCount(&type_infos), S_OK);
    EXPECT_EQ(type_infos, 0u);

    LONG left = 0, top = 0, width = 0, height = 0;
    ShowWindow(window, SW_SHOWNORMAL);
    EXPECT_EQ(state_of(client, progress), STATE_SYSTEM_READONLY);
    ASSERT_EQ(client->accLocation(&left, &top, &width, &height, progress), S_OK);
    EXPECT_GT(width, 0);
    // Out of view, not invisible: the status line is still spoken.
    ShowWindow(window, SW_MINIMIZE);
    for (const VARIANT& child : {status, progress}) {
        EXPECT_EQ(state_of(client, child), STATE_SYSTEM_READONLY | STATE_SYSTEM_OFFSCREEN);
        ASSERT_EQ(client->accLocation(&left, &top, &width, &height, child), S_OK);
        EXPECT_EQ(width, 0) << child.lVal;
        EXPECT_EQ(height, 0) << child.lVal;
    }

    late_requests.window = window;
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROCRET, ask_while_torn_down, nullptr,
                                   GetCurrentThreadId());
    ASSERT_NE(hook, nullptr);
    DestroyWindow(window);
    UnhookWindowsHookEx(hook);
    EXPECT_EQ(late_requests.after_nc_destroy, 0);
    ASSERT_NE(late_requests.after_destroy, nullptr);
    for (IAccessible* kept : {client, late_requests.after_destroy}) {
        name = nullptr;
        EXPECT_EQ(kept->get_accName(status, &name), CO_E_OBJNOTCONNECTED);
        EXPECT_EQ(name, nullptr);
        EXPECT_EQ(kept->accLocation(&left, &top, &width, &height, status), CO_E_OBJNOTCONNECTED);
        IDispatch* parent = nullptr;
        EXPECT_EQ(kept->get_accParent(&parent), CO_E_OBJNOTCONNECTED);
    }
    // The process let go of the one object it made: the reader's references
    // are the last ones.
    EXPECT_EQ(late_requests.after_destroy, client);
    EXPECT_EQ(late_requests.after_destroy->Release(), 1u);
    EXPECT_EQ(client->Release(), 0u);
    end_accessibility();
    CoUninitialize();
}

// Reading no accessible object, a run has no use for the library behind it.
TEST(MainWindow, WithoutAReaderNoAccessibilityLibraryIsLoaded) {
    bool painted = false;
    const int exit_code = run_window_with({no_work, no_work}, [&](HWND) {
        painted = wait_until([] { return paints_taken() > 0; });
    });
    EXPECT_EQ(exit_code, 0);
    EXPECT_TRUE(painted);
    EXPECT_EQ(GetModuleHandleW(L"oleacc.dll"), nullptr);
}

namespace {

// Live-region changes by child id, counted on the window's thread by an
// out-of-context hook set there.
int live_changes[kProgressChild + 1] = {};
void CALLBACK count_live_change(HWINEVENTHOOK, DWORD, HWND, LONG, LONG child, DWORD, DWORD) {
    ++live_changes[child];
}

// Brings `front` forward; once the window's thread has taken that in and
// painted, the status line's changes heard before a marker raised after them.
int heard_with_in_front(HWND window, HWND front) {
    SetForegroundWindow(front);
    int painted = -1;
    int marker = -1;
    int heard = -1;
    EXPECT_TRUE(wait_until([&] {
        on_window_thread(window, [&] {
            if (painted < 0 && (GetActiveWindow() == window) == (front == window)) {
                painted = paints_taken();
            } else if (marker < 0 && painted >= 0 && paints_taken() > painted) {
                marker = live_changes[kProgressChild];
                NotifyWinEvent(kLiveRegionChangedEvent, window, OBJID_CLIENT, kProgressChild);
            }
            const bool marked = marker >= 0 && live_changes[kProgressChild] > marker;
            heard = marked ? live_changes[kStatusChild] : -1;
        });
        return heard >= 0;
    }));
    return heard;
}

}  // namespace

// Each outcome (a failure when no file is named) that came while another
// window was in front is raised once more on the first return, not while
// its box is up; the change itself counts as one. The repeat follows the
// first paint after the return.
TEST(MainWindow, AnOutcomeMissedInTheBackgroundIsRaisedOnceMoreOnReturn) {
    const struct {
        const wchar_t* completed_file;
        bool away;
        int heard_after_return;
    } steps[] = {{nullptr, false, 1}, {L"A.zip 下载完成", true, 2}, {nullptr, true, 2},
                 {L"B.zip 下载完成", false, 1}};
    run_window_with({no_work, no_work}, [&](HWND window) {
        HWINEVENTHOOK hook = nullptr;
        on_window_thread(window, [&] {
            hook = SetWinEventHook(kLiveRegionChangedEvent, kLiveRegionChangedEvent, nullptr,
                                   count_live_change, GetCurrentProcessId(), GetCurrentThreadId(),
                                   WINEVENT_OUTOFCONTEXT);
        });
        HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0,
                                     0, 200, 100, nullptr, nullptr, nullptr, nullptr);
        for (const auto& step : steps) {
            const int before = heard_with_in_front(window, step.away ? other : window);
            if (step.completed_file != nullptr) {
                set_status_text(step.completed_file);
                PostMessageW(window, WM_APP_COMPLETED, 0, 0);
            } else {
                report_failure(window, L"无法连接安装包下载服务器");
            }
            // A return with the box open brings the box forward.
            HWND box = step.completed_file != nullptr
                           ? nullptr
                           : wait_for_message_box(L"下载失败", kTimeoutMs);
            HWND front = box != nullptr ? box : step.away ? other : window;
            EXPECT_TRUE(
                wait_until([&] { return heard_with_in_front(window, front) == before + 1; }));
            press_message_box_button(box, IDOK);  // none after a completion
            EXPECT_EQ(heard_with_in_front(window, window), before + step.heard_after_return);
            heard_with_in_front(window, other);
            EXPECT_EQ(heard_with_in_front(window, window), before + step.heard_after_return)
                << "step " << &step - steps;
        }
        DestroyWindow(other);
        on_window_thread(window, [&] { UnhookWinEvent(hook); });
    });
}
