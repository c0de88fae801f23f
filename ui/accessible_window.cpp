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

// The annotation that makes an element a live region, and its value for a
// region whose changes are spoken at once; the toolchain's headers lack both.
constexpr GUID kLiveSettingProperty = {
    0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
constexpr LONG kAssertive = 2;

// Indexed by child id: the ids run from CHILDID_SELF to kProgressChild.
constexpr LONG kRoles[] = {ROLE_SYSTEM_CLIENT, ROLE_SYSTEM_STATICTEXT, ROLE_SYSTEM_PROGRESSBAR};

// The child id a VARIANT names: an empty one names the object itself, and a
// reference to a VARIANT names what it refers to. False for an id the object
// does not have.
bool named_child(const VARIANT& child, LONG& id) {
    const VARIANT& named =
        child.vt == (VT_BYREF | VT_VARIANT) && child.pvarVal != nullptr ? *child.pvarVal : child;
    id = named.vt == VT_I4 ? named.lVal : CHILDID_SELF;
    return (named.vt == VT_I4 || named.vt == VT_EMPTY) && id >= CHILDID_SELF &&
           id <= kProgressChild;
}

HRESULT set_number(VARIANT* result, LONG number) {
    result->vt = VT_I4;
    result->lVal = number;
    return S_OK;
}

HRESULT copy_to_bstr(const std::wstring& text, BSTR* result) {
    *result = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *result != nullptr ? S_OK : E_OUTOFMEMORY;
}

// A child's box in client coordinates, as the painter lays it out; empty
// while the window is minimised, when nothing of it is shown.
RECT box_of(HWND window, LONG id) {
    RECT client{};
    GetClientRect(window, &client);
    if (id == CHILDID_SELF) {
        return client;
    }
    if (IsIconic(window)) {
        return {};
    }
    const WindowLayout layout = compute_layout(client.right, client.bottom);
    const LayoutRect box = id == kStatusChild ? layout.header_rect : progress_area(layout);
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
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) {
            return E_POINTER;
        }
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override {
        return ask(parent, [&] {
            return CreateStdAccessibleObject(window_, OBJID_WINDOW, __uuidof(IDispatch),
                                             reinterpret_cast<void**>(parent));
        });
    }
    HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* count) override {
        return ask(count, [&] {
            *count = 2;
            return S_OK;
        });
    }
    // Both children are simple elements: the client object answers for them.
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** result) override {
        return ask(child, result,
                   [](LONG id) { return id != CHILDID_SELF ? S_FALSE : E_INVALIDARG; });
    }
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override {
        return ask(child, name, [&](LONG id) {
            if (id == kStatusChild) {
                return copy_to_bstr(copy_status_text(), name);
            }
            return copy_to_bstr(id == kProgressChild ? shown_progress.line : kWindowTitle, name);
        });
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override {
        return ask(child, value, [&](LONG id) {
            return id == kProgressChild
                       ? copy_to_bstr(std::to_wstring(shown_progress.percent) + L"%", value)
                       : S_FALSE;
        });
    }
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override {
        return ask(child, role, [&](LONG id) { return set_number(role, kRoles[id]); });
    }
    // Nothing of a child shows while the window is minimised, yet it is not
    // invisible: readers keep nothing of an invisible object from the user,
    // and the status line must still be spoken then.
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override {
        return ask(child, state, [&](LONG id) {
            const LONG focused = GetFocus() == window_ ? STATE_SYSTEM_FOCUSED : 0;
            const LONG out_of_view = IsIconic(window_) ? STATE_SYSTEM_OFFSCREEN : 0;
            return set_number(state, id == CHILDID_SELF ? STATE_SYSTEM_FOCUSABLE | focused
                                                        : STATE_SYSTEM_READONLY | out_of_view);
        });
    }
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* focus) override {
        return ask(focus, [&] {
            return GetFocus() == window_ ? set_number(focus, CHILDID_SELF) : S_FALSE;
        });
    }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* selection) override {
        return ask(selection, [] { return S_FALSE; });
    }

    // Properties and actions that no part of the window has.
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* text) override {
        return ask(child, text, no_answer);
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* text) override {
        return ask(child, text, no_answer);
    }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, LONG* topic) override {
        return ask(topic, [&] { return ask(child, file, no_answer); });
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* text) override {
        return ask(child, text, no_answer);
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* text) override {
        return ask(child, text, no_answer);
    }
    HRESULT STDMETHODCALLTYPE accSelect(LONG, VARIANT child) override { return no_action(child); }
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
        return no_action(child);
    }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height,
                                          VARIANT child) override {
        if (top == nullptr || width == nullptr || height == nullptr) {
            return E_POINTER;
        }
        *top = *width = *height = 0;
        return ask(child, left, [&](LONG id) {
            RECT box = box_of(window_, id);
            MapWindowPoints(window_, nullptr, reinterpret_cast<POINT*>(&box), 2);
            *left = box.left;
            *top = box.top;
            *width = box.right - box.left;
            *height = box.bottom - box.top;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE accNavigate(LONG direction, VARIANT start, VARIANT* end) override {
        return ask(start, end, [&](LONG id) {
            if (direction <= NAVDIR_MIN || direction >= NAVDIR_MAX) {
                return E_INVALIDARG;
            }
            const bool forward = direction == NAVDIR_NEXT || direction == NAVDIR_DOWN;
            const bool back = direction == NAVDIR_PREVIOUS || direction == NAVDIR_UP;
            if ((id == CHILDID_SELF && direction == NAVDIR_FIRSTCHILD) ||
                (id == kProgressChild && back)) {
                return set_number(end, kStatusChild);
            }
            if ((id == CHILDID_SELF && direction == NAVDIR_LASTCHILD) ||
                (id == kStatusChild && forward)) {
                return set_number(end, kProgressChild);
            }
            return S_FALSE;
        });
    }

    HRESULT STDMETHODCALLTYPE accHitTest(LONG x, LONG y, VARIANT* hit) override {
        return ask(hit, [&] {
            POINT point{x, y};
            ScreenToClient(window_, &point);
            for (LONG id = CHILDID_SELF; id <= kProgressChild; ++id) {
                const RECT box = box_of(window_, id);
                if (PtInRect(&box, point)) {
                    set_number(hit, id);
                }
            }
            return hit->vt == VT_EMPTY ? S_FALSE : S_OK;
        });
    }

private:
    static void clear(BSTR* text) { *text = nullptr; }
    static void clear(VARIANT* variant) { variant->vt = VT_EMPTY; }
    static void clear(IDispatch** dispatch) { *dispatch = nullptr; }
    static void clear(LONG* number) { *number = 0; }
    static HRESULT no_answer(LONG) { return S_FALSE; }

    // How every question begins: the answer is cleared first (E_POINTER when
    // there is nowhere to put it), and once the window is gone the object
    // answers CO_E_OBJNOTCONNECTED; else `answer` answers.
    template <typename Place, typename Answer>
    HRESULT ask(Place* place, Answer answer) const {
        if (place == nullptr) {
            return E_POINTER;
        }
        clear(place);
        return window_ != nullptr ? answer() : CO_E_OBJNOTCONNECTED;
    }

    // A question about one child: E_INVALIDARG for an id this object does not
    // have, else `answer` answers for the id.
    template <typename Place, typename Answer>
    HRESULT ask(const VARIANT& child, Place* place, Answer answer) const {
        return ask(place, [&] {
            LONG id = CHILDID_SELF;
            return named_child(child, id) ? answer(id) : E_INVALIDARG;
        });
    }

    // An action that no part of the window has.
    HRESULT no_action(const VARIANT& child) const {
        LONG id = CHILDID_SELF;
        if (window_ == nullptr) {
            return CO_E_OBJNOTCONNECTED;
        }
        return named_child(child, id) ? DISP_E_MEMBERNOTFOUND : E_INVALIDARG;
    }

    ~ClientAccessible() = default;

    LONG references_ = 1;
    HWND window_;
};

enum class Support { Untried, Ready, Missing };

Support support = Support::Untried;
// Set once the window has let go of its object: a request that comes later,
// while the window is torn down, must not make another that nothing detaches.
bool window_gone = false;
UniqueComObject<ClientAccessible> client_object;
// Held while the status line is annotated, to take the annotation back.
UniqueComObject<IAccPropServices> annotations;
std::wstring announced_status{kWindowTitle};
int announced_percent = 0;
// The outcome was announced while the window was behind another or minimised.
bool outcome_held = false;

// Tried on the first request, so that a run without a reader loads nothing.
// Both libraries are delay-loaded and come from the system folder only;
// without them the window keeps its default object. The single-threaded
// apartment brings every call from a reader onto this thread, between its
// messages.
bool client_object_supported() {
    if (support == Support::Untried) {
        const bool loaded =
            load_system_library(oleacc_imports) && load_system_library(oleaut32_imports);
        support = loaded && SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))
                      ? Support::Ready
                      : Support::Missing;
    }
    return support == Support::Ready;
}

// Marks the status line as an assertive live region: readers speak its
// changes wherever their focus is. Without the annotation service (Wine
// answers E_NOTIMPL) readers still get the name change.
void mark_live_region(HWND window) {
    IAccPropServices* created = nullptr;
    if (FAILED(CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IAccPropServices, reinterpret_cast<void**>(&created)))) {
        return;
    }
    UniqueComObject<IAccPropServices> services(created);
    VARIANT assertive{};
    set_number(&assertive, kAssertive);
    if (SUCCEEDED(services->SetHwndProp(window, static_cast<DWORD>(OBJID_CLIENT), kStatusChild,
                                        kLiveSettingProperty, assertive))) {
        annotations = std::move(services);
    }
}

}  // namespace

LRESULT answer_get_object(HWND window, WPARAM flags, LPARAM object_id) {
    if (window_gone) {
        return 0;
    }
    // The id is a 32-bit value carried in the wider parameter.
    if (static_cast<LONG>(object_id) != OBJID_CLIENT || !client_object_supported()) {
        return DefWindowProcW(window, WM_GETOBJECT, flags, object_id);
    }
    if (!client_object) {
        client_object.reset(new (std::nothrow) ClientAccessible(window));
        if (!client_object) {
            return DefWindowProcW(window, WM_GETOBJECT, flags, object_id);
        }
        mark_live_region(window);
    }
    return LresultFromObject(__uuidof(IAccessible), flags, client_object.get());
}

void announce_changes(HWND window) {
    std::wstring status = copy_status_text();
    if (status != announced_status) {
        announced_status = std::move(status);
        NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, window, OBJID_CLIENT, kStatusChild);
        NotifyWinEvent(kLiveRegionChangedEvent, window, OBJID_CLIENT, kStatusChild);
    }
    if (shown_progress.percent != announced_percent) {
        announced_percent = shown_progress.percent;
        NotifyWinEvent(EVENT_OBJECT_VALUECHANGE, window, OBJID_CLIENT, kProgressChild);
    }
}

void announce_outcome(HWND window) {
    announce_changes(window);
    outcome_held = GetForegroundWindow() != window || IsIconic(window);
}

void announce_outcome_on_return(HWND window) {
    if (outcome_held && GetForegroundWindow() == window && !IsIconic(window) &&
        IsWindowEnabled(window)) {
        outcome_held = false;
        NotifyWinEvent(kLiveRegionChangedEvent, window, OBJID_CLIENT, kStatusChild);
    }
}

void detach_accessible_window(HWND window) {
    window_gone = true;
    outcome_held = false;
    if (client_object) {
        client_object->detach();
        client_object.reset();
    }
    if (annotations) {
        MSAAPROPID live_setting = kLiveSettingProperty;
        annotations->ClearHwndProps(window, static_cast<DWORD>(OBJID_CLIENT), kStatusChild,
                                    &live_setting, 1);
        annotations.reset();
    }
}

void end_accessibility() {
    if (support == Support::Ready) {
        CoUninitialize();
    }
    support = Support::Untried;
    window_gone = false;
}
