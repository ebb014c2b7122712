// Whether another level of a recursing call fits: read from how deep the thread's stack has been
// written, without writing or growing anything, so that a recursion stops while there is room left.
#include "core/stack_room.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>

#include "on_stack.h"

namespace {

using deko::testing::on_stack;
constexpr std::size_t KiB = 1024;

// Takes `bytes` of stack below the caller, writing some of each 4 KiB, then returns.
__attribute__((noinline)) void use_stack(std::size_t bytes) {
    volatile char buffer[4096];
    buffer[0] = 1;
    if (bytes > sizeof buffer) use_stack(bytes - sizeof buffer);
    buffer[sizeof buffer - 1] = buffer[0];
}

// Levels that each take `bytes`, recursing while another fits; the deepest level reached.
__attribute__((noinline)) int recurse(std::size_t bytes, int depth, std::optional<std::size_t>& left_at_end) {
    deko::StackLevel level;
    use_stack(bytes);
    if (!level.another_fits()) {
        left_at_end = deko::stack_left();
        return depth;
    }
    return recurse(bytes, depth + 1, left_at_end);
}

TEST(StackRoom, ALevelTakesWhatItsDeepestCallWrote) {
    on_stack(std::size_t{1} << 20, [] {
        std::optional<std::size_t> left = deko::stack_left();
        ASSERT_TRUE(left);
        EXPECT_LE(*left, std::size_t{1} << 20);
        EXPECT_GT(*left, std::size_t{1} << 19);
        deko::StackLevel level;
        std::size_t before = level.taken().value();
        use_stack(40 * KiB);
        std::size_t after = level.taken().value();
        EXPECT_GE(after, 40 * KiB);
        EXPECT_LT(after, before + 52 * KiB);
    });
}

TEST(StackRoom, RecursionStopsWhileALevelAndTheMarginAreLeft) {
    for (std::size_t size : {64 * KiB, 256 * KiB, std::size_t{1} << 20}) {
        for (std::size_t bytes : {2 * KiB, 12 * KiB}) {
            on_stack(size, [&] {
                std::optional<std::size_t> left;
                int depth = recurse(bytes, 0, left);
                ASSERT_TRUE(left);
                EXPECT_GE(*left, bytes + deko::StackLevel::kMargin) << size << " " << bytes;
                // The room a plain recursion of such levels would have used, nearly all of it.
                EXPECT_GT(static_cast<std::size_t>(depth) * (bytes + 4 * KiB), size / 2) << size << " " << bytes;
            });
        }
    }
}

#ifdef __linux__
// The size of the main thread's [stack] mapping, from /proc/self/maps.
std::size_t main_stack_mapping() {
    std::FILE* maps = std::fopen("/proc/self/maps", "r");
    char line[512];
    std::size_t size = 0;
    while (maps && std::fgets(line, sizeof line, maps)) {
        unsigned long low = 0, high = 0;
        if (std::strstr(line, "[stack]") && std::sscanf(line, "%lx-%lx", &low, &high) == 2) size = high - low;
    }
    if (maps) std::fclose(maps);
    return size;
}

TEST(StackRoom, TheMainStackIsReadWithoutGrowing) {
    std::size_t mapped = main_stack_mapping();
    ASSERT_GT(mapped, 0u);
    deko::StackLevel level;
    ASSERT_TRUE(level.taken());
    EXPECT_TRUE(level.another_fits());
    EXPECT_EQ(main_stack_mapping(), mapped);
}
#endif

}  // namespace
