// Calls a delay-loaded function whose slot nothing bound: the process must
// end there with the unbound-import exit code, never run the function.
#include "app/system_libraries.h"

extern "C" void record_floats(float first, float second, float third, float fourth,
                              float* received);

int main() {
    restrict_library_search();
    float received[4] = {};
    record_floats(1.5f, -2.25f, 3.125f, 1e6f, received);
    return 0;
}
