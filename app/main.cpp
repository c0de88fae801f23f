#include <windows.h>

#include "app/main_window.h"
#include "app/system_libraries.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show_command) {
    restrict_library_search();
    return run_application(instance, show_command);
}
