// The owning handle wrapper against real kernel objects: ownership moves,
// closes exactly once, and never disturbs the caller's last error.
#include <gtest/gtest.h>

#include "app/handles.h"

namespace {

bool is_open(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

HANDLE new_event() {
    return CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

template <typename Owner>
constexpr bool has_arrow = requires(const Owner& owner) { owner.operator->(); };

// Opaque handles have no members to reach; only COM owners offer ->.
static_assert(has_arrow<UniqueStream>);
static_assert(!has_arrow<UniqueKernelHandle>);
static_assert(!has_arrow<UniqueMemoryDc>);
static_assert(!has_arrow<UniqueInternetHandle>);

}  // namespace

TEST(UniqueHandle, MovesOwnershipAndClosesOnce) {
    HANDLE raw = new_event();
    {
        UniqueKernelHandle first(raw);
        UniqueKernelHandle second(std::move(first));
        EXPECT_FALSE(first);
        EXPECT_EQ(second.get(), raw);

        UniqueKernelHandle& alias = second;
        second = std::move(alias);  // self-assignment keeps the handle open
        EXPECT_TRUE(is_open(raw));

        UniqueKernelHandle third;
        third = std::move(second);
        EXPECT_EQ(third.get(), raw);
        EXPECT_TRUE(is_open(raw));
    }
    EXPECT_FALSE(is_open(raw));
}

TEST(UniqueHandle, ReleaseGivesUpOwnershipAndResetCloses) {
    HANDLE raw = new_event();
    {
        UniqueKernelHandle owner(raw);
        EXPECT_EQ(owner.release(), raw);
        EXPECT_FALSE(owner);
    }
    EXPECT_TRUE(is_open(raw));

    UniqueKernelHandle owner(raw);
    HANDLE other = new_event();
    owner.reset(other);
    EXPECT_FALSE(is_open(raw));
    EXPECT_TRUE(is_open(other));
}

TEST(UniqueHandle, FailureValuesAreEmptyAndClosingKeepsTheLastError) {
    EXPECT_FALSE(UniqueKernelHandle(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(UniqueKernelHandle(nullptr));

    UniqueKernelHandle owner(new_event());
    SetLastError(ERROR_SHARING_VIOLATION);
    owner.reset();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

TEST(SelectionScope, PutsThePreviousObjectBackSoTheSelectedOneCanBeDeleted) {
    const UniqueMemoryDc dc(CreateCompatibleDC(nullptr));
    ASSERT_TRUE(dc);
    const HGDIOBJ original = GetCurrentObject(dc.get(), OBJ_BITMAP);
    HBITMAP raw = CreateCompatibleBitmap(dc.get(), 4, 4);
    {
        const UniqueGdiBitmap bitmap(raw);
        const SelectionScope selection(dc.get(), bitmap.get());
        EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BITMAP), raw);
    }
    EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BITMAP), original);
    EXPECT_EQ(GetObjectType(raw), 0u);  // deleted, which fails while still selected
}
