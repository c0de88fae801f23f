#include "ui/accessible_window.h"

#include <oleacc.h>

#include <cmath>
#include <new>
#include <string>

#include "app/download_state.h"
#include "app/handles.h"
#include "app/system_libraries.h"
#include "ui/layout.h"
#include "ui/painter.h"

namespace {

enum class Part { Client, Status, Progress };

// The part a child id names; false for an id the object does not have.
bool part_named(const VARIANT& child, Part& part) {
    if (child.vt != VT_I4) {
        return false;
    }
    if (child.lVal == CHILDID_SELF) {
        part = Part::Client;
    } else if (child.lVal == kStatusChild) {
        part = Part::Status;
    } else if (child.lVal == kProgressChild) {
        part = Part::Progress;
    } else {
        return false;
    }
    return true;
}

LONG child_id(Part part) {
    switch (part) {
    case Part::Client:
        return CHILDID_SELF;
    case Part::Status:
        return kStatusChild;
    case Part::Progress:
        return kProgressChild;
    }
    return CHILDID_SELF;
}

void set_child(VARIANT* result, Part part) {
    result->vt = VT_I4;
    result->lVal = child_id(part);
}

HRESULT copy_to_bstr(const std::wstring& text, BSTR* result) {
    *result = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *result != nullptr ? S_OK : E_OUTOFMEMORY;
}

// A part's box in client coordinates, as the painter lays it out.
RECT client_box(Part part, const RECT& client) {
    const WindowLayout layout = compute_layout(client.right, client.bottom);
    LayoutRect box{};
    switch (part) {
    case Part::Client:
        return client;
    case Part::Status:
        box = layout.header_rect;
        break;
    case Part::Progress:
        // The line above the bar belongs to the bar it describes.
        box = {layout.progress_text_rect.x, layout.progress_text_rect.y,
               layout.progress_text_rect.width,
               layout.track_rect.y + layout.track_rect.height - layout.progress_text_rect.y};
        break;
    }
    return {std::lround(std::floor(box.x)), std::lround(std::floor(box.y)),
            std::lround(std::ceil(box.x + box.width)), std::lround(std::ceil(box.y + box.height))};
}

// The client area of a painted window, whose parts are no windows of their
// own. Readers call it on the user-interface thread (the thread's apartment
// is single-threaded), so it reads the painter's state without a lock.
class ClientAccessible final : public IAccessible {
public:
    explicit ClientAccessible(HWND window) : window_(window) {}

    void detach() { window_ = nullptr; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IDispatch) ||
            iid == __uuidof(IAccessible)) {
            *object = static_cast<IAccessible*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&references_));
    }

    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }

    // Readers use the IAccessible methods directly, never through IDispatch.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override {
        if (parent == nullptr) {
            return E_POINTER;
        }
        *parent = nullptr;
        if (window_ == nullptr) {
            return CO_E_OBJNOTCONNECTED;
        }
        return CreateStdAccessibleObject(window_, OBJID_WINDOW, __uuidof(IDispatch),
                                         reinterpret_cast<void**>(parent));
    }

    HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* count) override {
        if (count == nullptr) {
            return E_POINTER;
        }
        *count = 0;
        if (window_ == nullptr) {
            return CO_E_OBJNOTCONNECTED;
        }
        *count = 2;
        return S_OK;
    }

    // Both children are simple elements: the client object answers for them.
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** result) override {
        Part part = Part::Client;
        const HRESULT found = ask(child, result, part);
        if (FAILED(found)) {
            return found;
        }
        return part == Part::Client ? E_INVALIDARG : S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override {
        Part part = Part::Client;
        const HRESULT found = ask(child, name, part);
        if (FAILED(found)) {
            return found;
        }
        switch (part) {
        case Part::Client:
            return copy_to_bstr(kWindowTitle, name);
        case Part::Status:
            return copy_to_bstr(copy_status_text(), name);
        case Part::Progress:
            return copy_to_bstr(shown_progress.line, name);
        }
        return E_INVALIDARG;
    }

    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override {
        Part part = Part::Client;
        const HRESULT found = ask(child, value, part);
        if (FAILED(found)) {
            return found;
        }
        if (part != Part::Progress) {
            return S_FALSE;
        }
        return copy_to_bstr(std::to_wstring(shown_progress.percent) + L"%", value);
    }

    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* text) override {
        return no_text(child, text);
    }

    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override {
        Part part = Part::Client;
        const HRESULT found = ask(child, role, part);
        if (FAILED(found)) {
            return found;
        }
        role->vt = VT_I4;
        switch (part) {
        case Part::Client:
            role->lVal = ROLE_SYSTEM_CLIENT;
            break;
        case Part::Status:
            role->lVal = ROLE_SYSTEM_STATICTEXT;
            break;
        case Part::Progress:
            role->lVal = ROLE_SYSTEM_PROGRESSBAR;
            break;
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override {
        Part part = Part::Client;
        const HRESULT found = ask(child, state, part);
        if (FAILED(found)) {
            return found;
        }
        state->vt = VT_I4;
        state->lVal = STATE_SYSTEM_READONLY;
        if (part == Part::Client) {
            state->lVal = STATE_SYSTEM_FOCUSABLE |
                          (GetFocus() == window_ ? STATE_SYSTEM_FOCUSED : 0);
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* text) override {
        return no_text(child, text);
    }

    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, LONG* topic) override {
        if (topic == nullptr) {
            return E_POINTER;
        }
        *topic = 0;
        return no_text(child, file);
    }

    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* text) override {
        return no_text(child, text);
    }

    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* focus) override {
        if (focus == nullptr) {
            return E_POINTER;
        }
        focus->vt = VT_EMPTY;
        if (window_ == nullptr) {
            return CO_E_OBJNOTCONNECTED;
        }
        if (GetFocus() != window_) {
            return S_FALSE;
        }
        set_child(focus, Part::Client);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* selection) override {
        if (selection == nullptr) {
            return E_POINTER;
        }
        selection->vt = VT_EMPTY;
        return window_ == nullptr ? CO_E_OBJNOTCONNECTED : S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* text) override {
        return no_text(child, text);
    }

    HRESULT STDMETHODCALLTYPE accSelect(LONG, VARIANT child) override {
        Part part = Part::Client;
        const HRESULT found = find(child, part);
        return FAILED(found) ? found : DISP_E_MEMBERNOTFOUND;
    }

    HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height,
                                          VARIANT child) override {
        if (left == nullptr || top == nullptr || width == nullptr || height == nullptr) {
            return E_POINTER;
        }
        *left = *top = *width = *height = 0;
        Part part = Part::Client;
        const HRESULT found = find(child, part);
        if (FAILED(found)) {
            return found;
        }
        RECT client{};
        GetClientRect(window_, &client);
        RECT box = client_box(part, client);
        MapWindowPoints(window_, nullptr, reinterpret_cast<POINT*>(&box), 2);
        *left = box.left;
        *top = box.top;
        *width = box.right - box.left;
        *height = box.bottom - box.top;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE accNavigate(LONG direction, VARIANT start, VARIANT* end) override {
        Part part = Part::Client;
        const HRESULT found = ask(start, end, part);
        if (FAILED(found)) {
            return found;
        }
        switch (part) {
        case Part::Client:
            if (direction == NAVDIR_FIRSTCHILD) {
                set_child(end, Part::Status);
            } else if (direction == NAVDIR_LASTCHILD) {
                set_child(end, Part::Progress);
            }
            break;
        case Part::Status:
            if (direction == NAVDIR_NEXT || direction == NAVDIR_DOWN) {
                set_child(end, Part::Progress);
            }
            break;
        case Part::Progress:
            if (direction == NAVDIR_PREVIOUS || direction == NAVDIR_UP) {
                set_child(end, Part::Status);
            }
            break;
        }
        return end->vt == VT_EMPTY ? S_FALSE : S_OK;
    }

    HRESULT STDMETHODCALLTYPE accHitTest(LONG x, LONG y, VARIANT* hit) override {
        if (hit == nullptr) {
            return E_POINTER;
        }
        hit->vt = VT_EMPTY;
        if (window_ == nullptr) {
            return CO_E_OBJNOTCONNECTED;
        }
        POINT point{x, y};
        ScreenToClient(window_, &point);
        RECT client{};
        GetClientRect(window_, &client);
        if (!PtInRect(&client, point)) {
            return S_FALSE;
        }
        Part part = Part::Client;
        for (const Part child : {Part::Status, Part::Progress}) {
            const RECT box = client_box(child, client);
            if (PtInRect(&box, point)) {
                part = child;
            }
        }
        set_child(hit, part);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
        Part part = Part::Client;
        const HRESULT found = find(child, part);
        return FAILED(found) ? found : DISP_E_MEMBERNOTFOUND;
    }

    HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) override { return E_NOTIMPL; }

private:
    // S_OK with the part a child id names; E_INVALIDARG for an id this object
    // does not have, CO_E_OBJNOTCONNECTED once the window is gone.
    HRESULT find(const VARIANT& child, Part& part) const {
        if (window_ == nullptr) {
            return CO_E_OBJNOTCONNECTED;
        }
        return part_named(child, part) ? S_OK : E_INVALIDARG;
    }

    static void clear(BSTR* text) { *text = nullptr; }
    static void clear(VARIANT* variant) { variant->vt = VT_EMPTY; }
    static void clear(IDispatch** dispatch) { *dispatch = nullptr; }

    // How every question about one part begins: the answer is cleared first
    // (E_POINTER when there is nowhere to put it), then the part is found.
    template <typename Answer>
    HRESULT ask(const VARIANT& child, Answer* answer, Part& part) const {
        if (answer == nullptr) {
            return E_POINTER;
        }
        clear(answer);
        return find(child, part);
    }

    // A text property that no part of the window has.
    HRESULT no_text(const VARIANT& child, BSTR* text) const {
        Part part = Part::Client;
        const HRESULT found = ask(child, text, part);
        return FAILED(found) ? found : S_FALSE;
    }

    ~ClientAccessible() = default;

    LONG references_ = 1;
    HWND window_;
};

enum class Support { Untried, Ready, Missing };

Support support = Support::Untried;
UniqueComObject<ClientAccessible> client_object;
std::wstring announced_status{kWindowTitle};
int announced_percent = 0;

// Tried on the first request, so that a run without a reader loads nothing.
// Both libraries are delay-loaded and come from the system folder only;
// without them the window keeps its default object. The single-threaded
// apartment brings every call from a reader onto this thread, between its
// messages.
bool client_object_supported() {
    if (support == Support::Untried) {
        const bool loaded =
            load_system_library(L"oleacc.dll") && load_system_library(L"oleaut32.dll");
        support = loaded && SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))
                      ? Support::Ready
                      : Support::Missing;
    }
    return support == Support::Ready;
}

}  // namespace

LRESULT answer_get_object(HWND window, WPARAM flags, LPARAM object_id) {
    // The id is a 32-bit value carried in the wider parameter.
    if (static_cast<LONG>(object_id) != OBJID_CLIENT || !client_object_supported()) {
        return DefWindowProcW(window, WM_GETOBJECT, flags, object_id);
    }
    if (!client_object) {
        client_object.reset(new (std::nothrow) ClientAccessible(window));
        if (!client_object) {
            return DefWindowProcW(window, WM_GETOBJECT, flags, object_id);
        }
    }
    return LresultFromObject(__uuidof(IAccessible), flags, client_object.get());
}

void announce_changes(HWND window) {
    std::wstring status = copy_status_text();
    if (status != announced_status) {
        announced_status = std::move(status);
        NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, window, OBJID_CLIENT, kStatusChild);
    }
    if (shown_progress.percent != announced_percent) {
        announced_percent = shown_progress.percent;
        NotifyWinEvent(EVENT_OBJECT_VALUECHANGE, window, OBJID_CLIENT, kProgressChild);
    }
}

void detach_accessible_window() {
    if (client_object) {
        client_object->detach();
    }
}

void end_accessibility() {
    client_object.reset();
    if (support == Support::Ready) {
        CoUninitialize();
    }
    support = Support::Untried;
}
