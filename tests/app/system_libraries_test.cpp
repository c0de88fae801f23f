// Float arguments of a delay-loaded function: the first call through the
// delay-load thunk loses them, a slot bound beforehand passes them exactly.
#include <gtest/gtest.h>

#include <array>

#include "app/system_libraries.h"
#include "net/file_location.h"

extern "C" void record_floats(float first, float second, float third, float fourth,
                              float* received);
extern const ImgDelayDescr float_arguments_imports
    __asm__("__DELAY_IMPORT_DESCRIPTOR_libfloat_arguments_delay_a");

namespace {

constexpr std::array<float, 4> kSent = {1.5f, -2.25f, 3.125f, 1e6f};

std::array<float, 4> call_record_floats() {
    std::array<float, 4> received{};
    record_floats(kSent[0], kSent[1], kSent[2], kSent[3], received.data());
    return received;
}

}  // namespace

TEST(DelayImports, TheFirstCallThroughTheThunkLosesFloatArguments) {
    EXPECT_NE(call_record_floats(), kSent);
    EXPECT_EQ(call_record_floats(), kSent);
}

TEST(DelayImports, BoundBeforeTheFirstCallFloatArgumentsArriveExactly) {
    // float_arguments.dll lies beside the test exe.
    const HMODULE module =
        LoadLibraryW((program_directory() + L"\\float_arguments.dll").c_str());
    ASSERT_NE(module, nullptr);
    ASSERT_TRUE(bind_delay_imports(module, float_arguments_imports));
    EXPECT_EQ(call_record_floats(), kSent);
}

TEST(DelayImports, AModuleWithoutTheFunctionsDoesNotBind) {
    EXPECT_FALSE(bind_delay_imports(GetModuleHandleW(L"kernel32.dll"), float_arguments_imports));
}
