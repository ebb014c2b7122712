// How much of a thread's C stack is left, and how much one level of a recursing call takes.
//
// A call that recurses through Python (a retry calling its method again through the instance)
// nests C frames that Python's recursion limit does not measure, and what one level takes depends
// on what it ran: its request, its history lookups, the host's code. So a level marks the stack
// below it as it starts (a StackLevel), and before it recurses reads how deep it went from the
// marks it finds overwritten: it goes on only while the room left holds twice that, so a deep
// recursion stops while there is still room to unwind, on a thread's stack of any size.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>

namespace deko {

// Bytes left below the caller's frame on the current thread's stack; nothing when the thread's
// stack cannot be told (or the caller runs on a stack of its own, such as a coroutine's).
std::optional<std::size_t> stack_left();

// One level of a recursing call, from its start (construction) on; levels of one thread nest.
class StackLevel {
public:
    // Stack marked below a level, at most; a level that reaches its end counts as taking four times as much.
    static constexpr std::size_t kWindow = 256 * 1024;
    // Room kept besides twice a level's own: for raising the error and unwinding.
    static constexpr std::size_t kMargin = 4 * 1024;

    StackLevel();
    ~StackLevel();
    StackLevel(const StackLevel&) = delete;
    StackLevel& operator=(const StackLevel&) = delete;

    // The stack this level has taken so far: from its start down to the deepest point it reached;
    // nothing when the thread's stack cannot be told.
    std::optional<std::size_t> taken() const;

    // Whether another level fits below the caller: the room left holds twice the most that a level
    // of this thread's nest took (and the way down to the caller), and the margin.
    bool another_fits();

private:
    std::uintptr_t start_ = 0, floor_ = 0;  // marks lie in [floor_, start_ - skip)
    StackLevel* outer_ = nullptr;
    std::size_t most_ = 0;  // the most a level of this nest took, as read before it recursed
};

}  // namespace deko
