// Whether another level of a recursing call fits (see stack_room.h).
#include "core/stack_room.h"

#include <algorithm>

#include "core/compiler.h"
#include "core/platform.h"

namespace deko {

namespace {

// The current thread's stack, read once per thread (glibc reads /proc/self/maps for the main thread),
// and the way between two levels, learned from the levels that recursed on it.
struct ThreadStack {
    platform::StackBounds bounds;
    bool known = false;
    std::size_t stride = 0;            // the longest way seen from a level's check to the next level's start
    std::uintptr_t recursed_from = 0;  // where the last level that recursed checked, until the next starts
};

ThreadStack& thread_stack() {
    thread_local ThreadStack stack = [] {
        ThreadStack s;
        if (auto found = platform::thread_stack_bounds()) {
            s.bounds = *found;
            s.known = s.bounds.low < s.bounds.high;
        }
        return s;
    }();
    return stack;
}

std::uintptr_t here() { return DEKO_FRAME_ADDRESS(); }

// Longer ways between levels are not taken for one: the levels were not caller and callee.
constexpr std::size_t kLongestStride = 256 * 1024;

// The lowest word of [from, to) that is not zero (to when none is): the system hands a stack its
// pages zeroed. The memory below the stack
// pointer belongs to no frame: read word by word, out of the sanitizers' sight (they would take it
// for a frame's).
DEKO_UNCHECKED_NOINLINE std::uintptr_t lowest_written(std::uintptr_t from, std::uintptr_t to) {
    auto* word = reinterpret_cast<const volatile std::uint64_t*>(from);
    while (reinterpret_cast<std::uintptr_t>(word) < to && *word == 0) ++word;
    return reinterpret_cast<std::uintptr_t>(word);
}

}  // namespace

std::optional<std::size_t> stack_left() {
    const ThreadStack& s = thread_stack();
    std::uintptr_t at = here();
    if (!s.known || at <= s.bounds.low || at > s.bounds.high) return std::nullopt;
    return at - s.bounds.low;
}

std::optional<std::uintptr_t> deepest_stack_use(std::uintptr_t at) {
    const ThreadStack& s = thread_stack();
    if (!s.known || at <= s.bounds.low || at > s.bounds.high) return std::nullopt;
    std::optional<std::uintptr_t> page = platform::lowest_stack_page_in_use(s.bounds.low, at);
    if (!page) return std::nullopt;
    // A page in use that holds no written word (zeros written, a read) counts whole.
    std::uintptr_t from = (std::max(*page, s.bounds.low) + 7) & ~std::uintptr_t{7};
    std::uintptr_t end = std::min(*page + platform::page_size(), at & ~std::uintptr_t{7});
    std::uintptr_t written = lowest_written(from, end);
    return written < end ? written : from;
}

StackLevel::StackLevel() : start_(here()) {
    ThreadStack& s = thread_stack();
    if (s.recursed_from > start_ && s.recursed_from - start_ < kLongestStride)
        s.stride = std::max(s.stride, s.recursed_from - start_);
    s.recursed_from = 0;
}

std::optional<std::size_t> StackLevel::taken() const {
    std::optional<std::uintptr_t> deepest = deepest_stack_use(here());
    if (!deepest) return std::nullopt;
    return start_ > *deepest ? start_ - *deepest : 0;
}

bool StackLevel::another_fits() {
    std::optional<std::size_t> left = stack_left();
    std::optional<std::size_t> took = taken();
    if (!left || !took) return true;  // a stack that cannot be told is not checked
    ThreadStack& s = thread_stack();
    std::size_t stride = s.stride ? s.stride : kFirstStride;
    if (*left < *took + stride + kMargin) return false;
    s.recursed_from = here();
    return true;
}

}  // namespace deko
