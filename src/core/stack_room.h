// Whether another level of a recursing call fits on the current thread's C stack.
//
// A call that recurses through Python (a retry calling its method again through the instance)
// nests C frames that Python's recursion limit does not measure, and what one level takes depends
// on what it ran: its request, its history lookups, the host's code. So, before a level recurses,
// it reads how deep the thread's stack has been used: the lowest page the stack has in use
// (platform.h: asked of the system, no page touched), then the lowest word written in that page
// (the system hands a stack its pages zeroed; a page with none written counts whole). What the level took is the way from its start down
// to there. It recurses only while the room left below it holds that, the way to the next level's
// start (learned from the levels before), and a margin for raising the error and unwinding.
//
// Nothing is marked or written: a level costs nothing until it recurses, touches no page the stack
// does not already use (a growable main stack is never grown), and holds no memory. The reading
// is an upper bound of what the level took (the thread's earlier, deeper calls count too), never
// less: it errs towards stopping early. Levels of interleaved calls (greenlets) share nothing but
// the way between levels, which is only ever raised.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>

namespace deko {

// Bytes left below the caller's frame on the current thread's stack; nothing when the thread's
// stack cannot be told (or the caller runs on a stack of its own, such as a coroutine's).
std::optional<std::size_t> stack_left();

// The lowest address of the current thread's stack that has been written, down from `here`;
// nothing when it cannot be told.
std::optional<std::uintptr_t> deepest_stack_use(std::uintptr_t here);

// One level of a recursing call, from its start (construction) on.
class StackLevel {
public:
    // Room kept besides what a level takes and the way to the next: for a next level that goes
    // somewhat deeper than this one (raising the error and unwinding take less than what the level
    // already took below the point where it checks).
    static constexpr std::size_t kMargin = 1024;
    // The way from a level's check to the next level's start, until one has been seen on the thread.
    static constexpr std::size_t kFirstStride = 2 * 1024;

    StackLevel();

    // The stack this level has taken so far, read as above; nothing when it cannot be told.
    std::optional<std::size_t> taken() const;

    // Whether another level fits below the caller (see above). A level that fits notes where it
    // recursed from, so that the next level learns the way between them.
    bool another_fits();

private:
    std::uintptr_t start_ = 0;
};

}  // namespace deko
