// The room left on a thread's stack, and what a level of a recursing call took: read from the marks
// it overwrote, so that a recursion stops while there is room left, on small stacks too.
#include "core/stack_room.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <optional>

#include "on_stack.h"

namespace {

using deko::testing::on_stack;

// Takes `bytes` of stack below the caller, then returns.
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

TEST(StackRoom, ALevelTakesWhatItsDeepestCallTook) {
    on_stack(std::size_t{1} << 20, [] {
        std::optional<std::size_t> left = deko::stack_left();
        ASSERT_TRUE(left);
        EXPECT_LE(*left, std::size_t{1} << 20);
        EXPECT_GT(*left, std::size_t{1} << 19);
        deko::StackLevel level;
        std::size_t before = level.taken().value();
        use_stack(40 << 10);
        std::size_t after = level.taken().value();
        EXPECT_GE(after, std::size_t{40} << 10);
        EXPECT_LT(after, before + (std::size_t{48} << 10));
        use_stack(400 << 10);  // past the marks: counted as four times them
        EXPECT_GE(level.taken().value(), 4 * deko::StackLevel::kWindow);
    });
}

TEST(StackRoom, RecursionStopsWhileTwiceALevelIsLeft) {
    for (std::size_t size : {std::size_t{64} << 10, std::size_t{1} << 20}) {
        for (std::size_t bytes : {std::size_t{2} << 10, std::size_t{12} << 10}) {
            on_stack(size, [&] {
                std::optional<std::size_t> left;
                int depth = recurse(bytes, 0, left);
                ASSERT_TRUE(left);
                EXPECT_GE(*left, 2 * bytes + deko::StackLevel::kMargin) << size << " " << bytes;
                if (size > (std::size_t{64} << 10)) {
                    EXPECT_GT(depth, 10) << size << " " << bytes;
                }
            });
        }
    }
}

}  // namespace
