// The room left on a thread's stack: measured from the caller's frame, within the thread's own
// stack (a small one too), with a quarter of it, at most 256 KiB, kept in reserve.
#include "core/stack_room.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstddef>
#include <optional>

namespace {

struct Seen {
    std::optional<std::size_t> left;
    std::size_t reserve = 0;
};

void* look(void* out) {
    *static_cast<Seen*>(out) = {deko::stack_left(), deko::stack_reserve()};
    return nullptr;
}

TEST(StackRoom, WithinTheThreadsOwnStack) {
    for (std::size_t size : {std::size_t{256} << 10, std::size_t{8} << 20}) {
        Seen seen;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, size);
        pthread_t thread;
        ASSERT_EQ(pthread_create(&thread, &attr, look, &seen), 0);
        pthread_join(thread, nullptr);
        pthread_attr_destroy(&attr);
        ASSERT_TRUE(seen.left) << size;
        EXPECT_LE(*seen.left, size);
        EXPECT_GT(*seen.left, size / 2);
        EXPECT_EQ(seen.reserve, size == (256u << 10) ? 64u << 10 : 256u << 10);
    }
}

}  // namespace
