// What assistive technology reads of the painted window: the client area as
// an accessible object with two simple children, the status line and the
// progress, and the events that announce their changes. User-interface
// thread only.
#pragma once

#include <windows.h>

// Child ids of the client area's accessible object.
inline constexpr LONG kStatusChild = 1;
inline constexpr LONG kProgressChild = 2;

// EVENT_OBJECT_LIVEREGIONCHANGED, which the headers hide below Windows 8;
// readers on Windows 7 just do not listen for it.
inline constexpr DWORD kLiveRegionChangedEvent = 0x8019;

// The WM_GETOBJECT answer: the client area's own object for OBJID_CLIENT,
// the default answer for every other object, and for the client too when the
// system libraries the object needs are missing. The first answer also marks
// the status line as a live region. Once the window is detached, nothing.
LRESULT answer_get_object(HWND window, WPARAM flags, LPARAM object_id);

// Raises the events for what changed since the last call: a name change and
// a live-region change on the status line when its text changed, a value
// change on the progress when the shown whole percentage moved.
void announce_changes(HWND window);

// Announces the download's outcome, which is in the status line. Readers
// that listen only to the foreground application drop the events of a
// window behind another or minimised: an outcome announced then is held, to
// be raised once more when the user is back.
void announce_outcome(HWND window);

// After each paint: raises the held outcome once more, once, when the window
// is the foreground window, not minimised and not disabled under its own
// message box. The first paint after a return comes after the activation
// and the restore, whose focus change cancels a reader's speech; and the
// repeat never talks over the box, which a reader reads as it comes forward.
void announce_outcome_on_return(HWND window);

// The window's last message (WM_NCDESTROY): the process lets go of the
// object and takes back the status line's annotation; a reader that kept the
// object is told from now on that it is not available, and later requests
// get no answer.
void detach_accessible_window(HWND window);

// Leaves the thread's COM apartment if a reader made the window join one;
// called once the message loop has ended. A new window may then answer again.
void end_accessibility();
