// Command-line probe that the end-to-end tests run under Wine beside the
// downloader: it finds the main window and its message boxes, reads them and
// presses their buttons, and reads the window as a screen reader does.
// Prints UTF-8; exit code 0 on success, 1 when what was asked for did not
// happen, 2 on bad usage.
#include <windows.h>
#include <oleacc.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/handles.h"
#include "app/main_window.h"
#include "app/system_libraries.h"
#include "tests/support/wait.h"
#include "tests/support/window_driver.h"
#include "ui/accessible_window.h"

namespace {

void print_utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes.data(), size, nullptr, nullptr);
    std::fputs(bytes.c_str(), stdout);
    std::fputs("\n", stdout);
}

DWORD number(const wchar_t* text) {
    return static_cast<DWORD>(std::wcstoul(text, nullptr, 10));
}

int button_id(const std::wstring& name) {
    if (name == L"yes") return IDYES;
    if (name == L"no") return IDNO;
    if (name == L"ok") return IDOK;
    return 0;
}

int window_info(HWND window) {
    RECT outer{};
    GetWindowRect(window, &outer);
    wchar_t class_name[64] = {};
    GetClassNameW(window, class_name, 64);
    print_utf8(L"class=" + std::wstring(class_name));
    print_utf8(L"title=" + window_text(window));
    std::printf("x=%ld\ny=%ld\nwidth=%ld\nheight=%ld\nscreen_width=%d\nscreen_height=%d\n",
                outer.left, outer.top, outer.right - outer.left, outer.bottom - outer.top,
                GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    std::printf("iconic=%d\nvisible=%d\n", IsIconic(window) ? 1 : 0, IsWindowVisible(window) ? 1 : 0);
    return 0;
}

// Opens `path` the way another program would while the downloader holds it:
// read, write or delete access, with every kind of sharing offered so that
// only the downloader's own share mode can refuse.
int try_open(const std::wstring& path, const std::wstring& access_name) {
    DWORD access = 0;
    if (access_name == L"read") access = GENERIC_READ;
    if (access_name == L"write") access = GENERIC_WRITE;
    if (access_name == L"delete") access = DELETE;
    if (access == 0) {
        return 2;
    }
    HANDLE file = CreateFileW(path.c_str(), access,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("error=%lu\n", GetLastError());
        return 1;
    }
    CloseHandle(file);
    std::puts("opened");
    return 0;
}

// Keeps `path` open for reading without write sharing for `ms`, as an
// archive viewer holding the package would; prints "held" once it has it.
int hold_open(const std::wstring& path, DWORD ms) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("error=%lu\n", GetLastError());
        return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    Sleep(ms);
    CloseHandle(file);
    return 0;
}

using AccessiblePtr = UniqueComObject<IAccessible>;

// Asks once, as a reader does: a window that exists and cannot give its
// object is a fault.
AccessiblePtr client_object(HWND window) {
    IAccessible* client = nullptr;
    const HRESULT result =
        AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT),
                                   __uuidof(IAccessible), reinterpret_cast<void**>(&client));
    if (FAILED(result)) {
        std::fprintf(stderr, "AccessibleObjectFromWindow failed: 0x%08lx\n",
                     static_cast<unsigned long>(result));
        return AccessiblePtr();
    }
    return AccessiblePtr(client);
}

// A text property as a reader hears it; a failed call reads "!" and its code.
template <typename Getter>
std::wstring read_text(IAccessible* object, const VARIANT& child, Getter getter) {
    BSTR text = nullptr;
    const HRESULT result = (object->*getter)(child, &text);
    if (FAILED(result)) {
        wchar_t code[16];
        std::swprintf(code, 16, L"!%08lx", static_cast<unsigned long>(result));
        return code;
    }
    std::wstring copy = text != nullptr ? std::wstring(text, SysStringLen(text)) : L"";
    SysFreeString(text);
    return copy;
}

std::wstring name_of(IAccessible* object, LONG child) {
    return read_text(object, child_variant(child), &IAccessible::get_accName);
}

std::wstring value_of(IAccessible* object, LONG child) {
    return read_text(object, child_variant(child), &IAccessible::get_accValue);
}

LONG role_of(IAccessible* object, LONG child) {
    VARIANT role{};
    object->get_accRole(child_variant(child), &role);
    return role.vt == VT_I4 ? role.lVal : -1;
}

int read_accessible(HWND window) {
    const AccessiblePtr client = client_object(window);
    if (!client) {
        return 1;
    }
    LONG children = 0;
    client->get_accChildCount(&children);
    std::printf("children=%ld\nclient_role=%ld\nstatus_role=%ld\nprogress_role=%ld\n", children,
                role_of(client.get(), CHILDID_SELF), role_of(client.get(), kStatusChild),
                role_of(client.get(), kProgressChild));
    print_utf8(L"status=" + name_of(client.get(), kStatusChild));
    print_utf8(L"progress=" + value_of(client.get(), kProgressChild));
    print_utf8(L"progress_line=" + name_of(client.get(), kProgressChild));
    return 0;
}

struct WinEvent {
    DWORD event;
    LONG child;
    DWORD tick;
};

// The events of one window, queued by a hook on a thread of its own that
// only pumps the messages delivering them, while the reading thread waits in
// its calls to the window.
struct EventQueue {
    HWND window = nullptr;
    std::mutex mutex;
    std::vector<WinEvent> events;
};
EventQueue event_queue;

void CALLBACK queue_win_event(HWINEVENTHOOK, DWORD event, HWND window, LONG object, LONG child,
                              DWORD, DWORD tick) {
    if (window == event_queue.window && object == OBJID_CLIENT) {
        std::lock_guard lock(event_queue.mutex);
        event_queue.events.push_back({event, child, tick});
    }
}

// Runs the hook and its message loop until WM_QUIT. `hook_thread` becomes
// this thread's id once the hook is in place, or kNoHook.
constexpr DWORD kNoHook = MAXDWORD;
void hook_events(DWORD process, std::atomic<DWORD>& hook_thread) {
    MSG message{};
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // a queue for WM_QUIT
    HWINEVENTHOOK hook =
        SetWinEventHook(EVENT_OBJECT_NAMECHANGE, kLiveRegionChangedEvent, nullptr, queue_win_event,
                        process, 0, WINEVENT_OUTOFCONTEXT);
    hook_thread.store(hook != nullptr ? GetCurrentThreadId() : kNoHook);
    while (hook != nullptr && GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    if (hook != nullptr) {
        UnhookWinEvent(hook);
    }
}

// What an event names, read through the object the event leads to, as a
// reader does when it speaks the change.
std::wstring read_event(HWND window, const WinEvent& event) {
    IAccessible* object = nullptr;
    VARIANT child{};
    if (FAILED(AccessibleObjectFromEvent(window, static_cast<DWORD>(OBJID_CLIENT),
                                         static_cast<DWORD>(event.child), &object, &child))) {
        return L"!event";
    }
    const AccessiblePtr owner(object);
    return event.event == EVENT_OBJECT_VALUECHANGE
               ? read_text(object, child, &IAccessible::get_accValue)
               : read_text(object, child, &IAccessible::get_accName);
}

// The announcements a reader speaks, by the word the transcript gives them;
// null for every other event.
const wchar_t* announcement_kind(const WinEvent& event) {
    if (event.child == kStatusChild && event.event == EVENT_OBJECT_NAMECHANGE) return L"name";
    if (event.child == kStatusChild && event.event == kLiveRegionChangedEvent) return L"live";
    if (event.child == kProgressChild && event.event == EVENT_OBJECT_VALUECHANGE) return L"value";
    return nullptr;
}

// Follows the window as a reader does: an out-of-process event hook, and for
// every announcement "name TICK TEXT", "live TICK TEXT" or "value TICK TEXT",
// read when it arrives; meanwhile the progress is sampled every 20 ms and each
// new reading printed as "shown TICK LINE|VALUE|LINE", the line read just
// before and just after the value. Ends once a live-region change of the
// status line reads as something containing `until`.
int follow_announcements(HWND window, const std::wstring& until, DWORD timeout_ms) {
    const AccessiblePtr client = client_object(window);
    if (!client) {
        return 1;
    }
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    event_queue.window = window;
    std::atomic<DWORD> hook_thread_id{0};
    std::thread hook_thread(hook_events, process, std::ref(hook_thread_id));
    while (hook_thread_id.load() == 0) {
        Sleep(1);
    }
    if (hook_thread_id.load() == kNoHook) {
        hook_thread.join();
        return 1;
    }
    std::puts("hooked");
    std::fflush(stdout);
    std::wstring last_shown;
    bool heard = false;
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (!heard && GetTickCount64() < deadline) {
        std::vector<WinEvent> events;
        {
            std::lock_guard lock(event_queue.mutex);
            events.swap(event_queue.events);
        }
        for (const WinEvent& event : events) {
            const wchar_t* kind = announcement_kind(event);
            if (kind == nullptr) {
                continue;
            }
            const std::wstring text = read_event(window, event);
            print_utf8(kind + (L" " + std::to_wstring(event.tick)) + L" " + text);
            heard = heard || (event.event == kLiveRegionChangedEvent &&
                              text.find(until) != std::wstring::npos);
        }
        const std::wstring before = name_of(client.get(), kProgressChild);
        const std::wstring value = value_of(client.get(), kProgressChild);
        const std::wstring after = name_of(client.get(), kProgressChild);
        const DWORD tick = GetTickCount();
        const std::wstring shown = before + L"|" + value + L"|" + after;
        if (shown != last_shown) {
            last_shown = shown;
            print_utf8(L"shown " + std::to_wstring(tick) + L" " + shown);
        }
        std::fflush(stdout);
        Sleep(20);
    }
    PostThreadMessageW(hook_thread_id.load(), WM_QUIT, 0, 0);
    hook_thread.join();
    return heard ? 0 : 1;
}

// Names, one a line, the module that each of `count` pointers at `rva` in
// the downloader's image leads into: where its delay-import slots lead.
int slot_modules(HWND window, DWORD rva, DWORD count) {
    DWORD process_id = 0;
    GetWindowThreadProcessId(window, &process_id);
    UniqueKernelHandle process(OpenProcess(PROCESS_VM_READ, FALSE, process_id));
    UniqueKernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process_id));
    if (!process || !snapshot) {
        return 1;
    }
    std::vector<MODULEENTRY32W> modules;
    MODULEENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Module32FirstW(snapshot.get(), &entry); more;
         more = Module32NextW(snapshot.get(), &entry)) {
        modules.push_back(entry);
    }
    // The snapshot lists the exe first.
    std::vector<ULONG_PTR> slots(count);
    if (modules.empty() ||
        !ReadProcessMemory(process.get(), modules.front().modBaseAddr + rva, slots.data(),
                           slots.size() * sizeof(ULONG_PTR), nullptr)) {
        return 1;
    }
    for (const ULONG_PTR slot : slots) {
        std::wstring name = L"?";
        for (const MODULEENTRY32W& module : modules) {
            const auto base = reinterpret_cast<ULONG_PTR>(module.modBaseAddr);
            if (base <= slot && slot < base + module.modBaseSize) {
                name = module.szModule;
            }
        }
        print_utf8(name);
    }
    return 0;
}

int usage() {
    std::fputs("usage: window_probe wait-window MS | info | close | resize W H | minimize | restore\n"
               "       wait-box CAPTION MS | press-box CAPTION yes|no|ok MS | no-box CAPTION MS\n"
               "       try-open FILE read|write|delete | hold-open FILE MS\n"
               "       read-accessible | follow-announcements TEXT MS\n"
               "       slot-modules RVA COUNT\n",
               stderr);
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return usage();
    }
    const std::wstring command = argv[1];
    if (command == L"wait-window" && argc == 3) {
        return wait_for_main_window(number(argv[2])) != nullptr ? 0 : 1;
    }
    if (command == L"wait-box" && argc == 4) {
        HWND box = wait_for_message_box(argv[2], number(argv[3]));
        if (box == nullptr) {
            return 1;
        }
        print_utf8(message_box_text(box));
        return 0;
    }
    if (command == L"press-box" && argc == 5) {
        HWND box = wait_for_message_box(argv[2], number(argv[4]));
        if (box == nullptr) {
            return 1;
        }
        print_utf8(message_box_text(box));
        return press_message_box_button(box, button_id(argv[3])) ? 0 : 1;
    }
    if (command == L"no-box" && argc == 4) {
        Sleep(number(argv[3]));
        return find_message_box(argv[2]) == nullptr ? 0 : 1;
    }
    if (command == L"try-open" && argc == 4) {
        return try_open(argv[2], argv[3]);
    }
    if (command == L"hold-open" && argc == 4) {
        return hold_open(argv[2], number(argv[3]));
    }
    // A reader waits for a window that is still starting, and for nothing else.
    const bool reads = command == L"read-accessible" || command == L"follow-announcements";
    HWND window =
        reads ? wait_for_main_window(kWaitTimeoutMs) : FindWindowW(kWindowClass, nullptr);
    if (window == nullptr) {
        std::fputs("no main window\n", stderr);
        return 1;
    }
    if (command == L"info" && argc == 2) {
        return window_info(window);
    }
    if (command == L"close" && argc == 2) {
        return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
    }
    if (command == L"resize" && argc == 4) {
        SetWindowPos(window, nullptr, 0, 0, static_cast<int>(number(argv[2])),
                     static_cast<int>(number(argv[3])), SWP_NOMOVE | SWP_NOZORDER);
        return window_info(window);
    }
    if (command == L"minimize" && argc == 2) {
        ShowWindow(window, SW_MINIMIZE);
        return 0;
    }
    if (command == L"restore" && argc == 2) {
        ShowWindow(window, SW_RESTORE);
        return 0;
    }
    if (command == L"slot-modules" && argc == 4) {
        return slot_modules(window, number(argv[2]), number(argv[3]));
    }
    // A reader's libraries, bound before its first call into them.
    if (!load_system_library(oleacc_imports) || !load_system_library(oleaut32_imports)) {
        std::fputs("oleacc.dll or oleaut32.dll could not be loaded and bound\n", stderr);
        return 1;
    }
    // Calls from a reader's thread just wait for their answer.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (command == L"read-accessible" && argc == 2) {
        return read_accessible(window);
    }
    if (command == L"follow-announcements" && argc == 4) {
        return follow_announcements(window, argv[2], number(argv[3]));
    }
    return usage();
}
