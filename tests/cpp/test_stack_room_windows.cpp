// A level's reading of the stack on Windows, where a thread's stack below its guard page is only
// reserved: touching it faults (on Linux the stack is mapped, or grows). Wine commits a whole stack
// at once, so the test leaves the stack as Windows would, before it has grown.
#include <gtest/gtest.h>

#include "core/platform.h"
#include "core/stack_room.h"
#include "on_stack.h"

#ifdef _WIN32
namespace {

TEST(StackRoomWindows, LevelsReadOnlyCommittedPages) {
    deko::testing::on_stack(std::size_t{1} << 20, [] {
        const std::size_t page = deko::platform::page_size();
        deko::platform::StackBounds bounds = deko::platform::thread_stack_bounds().value();
        int here = 0;
        auto guard = (reinterpret_cast<std::uintptr_t>(&here) & ~(page - 1)) - 16 * page;
        ASSERT_TRUE(VirtualFree(reinterpret_cast<void*>(bounds.low), guard - bounds.low, MEM_DECOMMIT));
        DWORD was;
        ASSERT_TRUE(VirtualProtect(reinterpret_cast<void*>(guard), page, PAGE_READWRITE | PAGE_GUARD, &was));
        deko::StackLevel level;  // faults when it reads or writes a page below the guard page
        EXPECT_TRUE(level.taken());
        EXPECT_TRUE(level.another_fits());
    });
}

}  // namespace
#endif
