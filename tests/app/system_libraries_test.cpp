// Binding delay-import slots. Each case binds slots at a moment it chooses,
// most of them a descriptor of its own, so the cases hold in any order and
// repeated in one process.
#include <gtest/gtest.h>

#include <windows.h>
#include <winhttp.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "app/handles.h"
#include "app/system_libraries.h"
#include "net/file_location.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;
extern "C" void record_floats(float first, float second, float third, float fourth,
                              float* received);
extern const ImgDelayDescr float_arguments_imports
    __asm__("__DELAY_IMPORT_DESCRIPTOR_libfloat_arguments_delay_a");

namespace {

DWORD rva_of(const void* address) {
    return static_cast<DWORD>(static_cast<const BYTE*>(address) -
                              reinterpret_cast<const BYTE*>(&__ImageBase));
}

template <typename Item>
const Item* at_rva(DWORD rva) {
    return reinterpret_cast<const Item*>(reinterpret_cast<const BYTE*>(&__ImageBase) + rva);
}

// The slots and names of `imports` that lead anywhere but into `module`.
std::vector<std::string> slots_outside(const ImgDelayDescr& imports, HMODULE module) {
    std::vector<std::string> outside;
    const auto* slot = at_rva<IMAGE_THUNK_DATA>(imports.rvaIAT);
    for (const auto* name = at_rva<IMAGE_THUNK_DATA>(imports.rvaINT);
         name->u1.AddressOfData != 0; ++name, ++slot) {
        HMODULE reached = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(slot->u1.Function), &reached);
        if (reached != module) {
            outside.push_back(at_rva<IMAGE_IMPORT_BY_NAME>(
                static_cast<DWORD>(name->u1.AddressOfData))->Name);
        }
    }
    return outside;
}

// A descriptor of the test's own for two kernel32 functions, laid out in
// this exe's image as dlltool lays one out, its slots alone on a page that
// a case can make read-only.
constexpr ULONG_PTR kUnbound = 0x5107;
struct alignas(4096) SlotPage {
    ULONG_PTR slots[3];
};
SlotPage slot_page;
HMODULE module_slot;
struct NamedImport {
    WORD hint;
    char name[30];
};
NamedImport named[2];
IMAGE_THUNK_DATA name_table[3];
const char kKernel32[] = "kernel32.dll";

class OwnDescriptor : public testing::Test {
protected:
    void SetUp() override {
        slot_page = {{kUnbound, kUnbound, 0}};
        module_slot = nullptr;
        named[0] = {0, "GetTickCount64"};
        named[1] = {0, "GetCurrentProcessId"};
        for (int index = 0; index < 2; ++index) {
            name_table[index].u1.AddressOfData = rva_of(&named[index]);
        }
        name_table[2].u1.AddressOfData = 0;
        imports = {dlattrRva,          rva_of(kKernel32),  rva_of(&module_slot),
                   rva_of(&slot_page), rva_of(name_table), 0, 0, 0};
    }
    void TearDown() override {
        DWORD previous = 0;
        VirtualProtect(&slot_page, sizeof(slot_page), PAGE_READWRITE, &previous);
    }

    ImgDelayDescr imports{};
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
};

TEST_F(OwnDescriptor, BindsEverySlotOfAReadOnlyPageAndPutsTheProtectionBack) {
    DWORD previous = 0;
    ASSERT_TRUE(VirtualProtect(&slot_page, sizeof(slot_page), PAGE_READONLY, &previous));
    ASSERT_TRUE(bind_delay_imports(kernel32, imports));
    EXPECT_EQ(slot_page.slots[0],
              reinterpret_cast<ULONG_PTR>(GetProcAddress(kernel32, "GetTickCount64")));
    EXPECT_EQ(slot_page.slots[1],
              reinterpret_cast<ULONG_PTR>(GetProcAddress(kernel32, "GetCurrentProcessId")));
    EXPECT_EQ(module_slot, kernel32);
    MEMORY_BASIC_INFORMATION page{};
    ASSERT_NE(VirtualQuery(&slot_page, &page, sizeof(page)), 0u);
    EXPECT_EQ(page.Protect, static_cast<DWORD>(PAGE_READONLY));
}

TEST_F(OwnDescriptor, WhatItCannotBindWholeIsRefusedAndLeftAsItWas) {
    const std::pair<const char*, std::function<void()>> rows[] = {
        {"addresses that are not RVAs", [&] { imports.grAttrs = 0; }},
        {"an import by ordinal", [] { name_table[1].u1.Ordinal = IMAGE_ORDINAL_FLAG64 | 7; }},
        {"a name the DLL lacks", [] { named[1] = {0, "NoSuchFunctionAnywhere"}; }},
    };
    for (const auto& [what, change] : rows) {
        SetUp();
        change();
        EXPECT_FALSE(bind_delay_imports(kernel32, imports)) << what;
        EXPECT_FALSE(load_system_library(imports)) << what;
        EXPECT_EQ(slot_page.slots[0], kUnbound) << what;
        EXPECT_EQ(slot_page.slots[1], kUnbound) << what;
        EXPECT_EQ(module_slot, nullptr) << what;
    }
}

TEST_F(OwnDescriptor, AnEmptyNameTableBindsOnlyTheModule) {
    name_table[0].u1.AddressOfData = 0;
    ASSERT_TRUE(bind_delay_imports(kernel32, imports));
    EXPECT_EQ(slot_page.slots[0], kUnbound);
    EXPECT_EQ(module_slot, kernel32);
}

TEST(DelayImports, AfterLoadingEverySlotLeadsIntoTheDllAndFloatArgumentsArriveExactly) {
    ASSERT_TRUE(load_system_library(winhttp_imports));
    EXPECT_EQ(slots_outside(winhttp_imports, GetModuleHandleW(L"winhttp.dll")),
              std::vector<std::string>{});
    EXPECT_TRUE(WinHttpCheckPlatform());

    // float_arguments.dll lies beside the test exe, not in the system folder.
    const HMODULE module =
        LoadLibraryW((program_directory() + L"\\float_arguments.dll").c_str());
    ASSERT_NE(module, nullptr);
    ASSERT_TRUE(bind_delay_imports(module, float_arguments_imports));
    EXPECT_EQ(slots_outside(float_arguments_imports, module), std::vector<std::string>{});
    constexpr std::array<float, 4> kSent = {1.5f, -2.25f, 3.125f, 1e6f};
    std::array<float, 4> received{};
    record_floats(kSent[0], kSent[1], kSent[2], kSent[3], received.data());
    EXPECT_EQ(received, kSent);
}

TEST(DelayImports, ACallThroughAnUnboundSlotEndsTheProcess) {
    std::wstring command = L"\"" + program_directory() + L"\\unbound_call.exe\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process));
    const UniqueKernelHandle thread(process.hThread);
    const UniqueKernelHandle child(process.hProcess);
    EXPECT_EQ(WaitForSingleObject(child.get(), 60000), WAIT_OBJECT_0);
    DWORD exit_code = 0;
    GetExitCodeProcess(child.get(), &exit_code);
    EXPECT_EQ(exit_code, kUnboundDelayImportExitCode);
}

}  // namespace
