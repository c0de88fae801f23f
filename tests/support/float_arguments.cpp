// A DLL that the tests delay-load: it hands back the float arguments it got,
// which the caller passes in xmm0 to xmm3.
extern "C" __declspec(dllexport) void record_floats(float first, float second, float third,
                                                    float fourth, float* received) {
    received[0] = first;
    received[1] = second;
    received[2] = third;
    received[3] = fourth;
}
