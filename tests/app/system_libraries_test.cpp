// Float arguments of a delay-loaded function: the first call through the
// delay-load thunk loses them, a slot bound beforehand passes them exactly.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "app/system_libraries.h"

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

// float_arguments.dll lies beside the test exe.
HMODULE load_float_arguments() {
    wchar_t path[MAX_PATH] = {};
    std::wstring folder(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    folder.erase(folder.find_last_of(L'\\') + 1);
    return LoadLibraryW((folder + L"float_arguments.dll").c_str());
}

}  // namespace

TEST(DelayImports, TheFirstCallThroughTheThunkLosesFloatArguments) {
    EXPECT_NE(call_record_floats(), kSent);
    EXPECT_EQ(call_record_floats(), kSent);
}

TEST(DelayImports, BoundBeforeTheFirstCallFloatArgumentsArriveExactly) {
    const HMODULE module = load_float_arguments();
    ASSERT_NE(module, nullptr);
    ASSERT_TRUE(bind_delay_imports(module, float_arguments_imports));
    EXPECT_EQ(call_record_floats(), kSent);
}

TEST(DelayImports, AModuleWithoutTheFunctionsDoesNotBind) {
    EXPECT_FALSE(bind_delay_imports(GetModuleHandleW(L"kernel32.dll"), float_arguments_imports));
}
