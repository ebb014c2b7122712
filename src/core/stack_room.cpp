#include "core/stack_room.h"

#include <algorithm>

#include "core/platform.h"

namespace deko {

namespace {

// The current thread's stack, read once per thread (glibc reads /proc/self/maps for the main thread).
struct Bounds {
    std::uintptr_t low = 0, high = 0;
    bool known = false;
};

const Bounds& bounds() {
    thread_local Bounds cached = [] {
        Bounds b;
        if (auto found = platform::thread_stack_bounds()) b = {found->low, found->high, true};
        return b;
    }();
    return cached;
}

std::uintptr_t here() { return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)); }

// The mark, and the room left between a level's start and its marks (the frames that mark and read).
constexpr std::uint64_t kMark = 0x5AC3D1E9F00DB0A7ULL;
constexpr std::size_t kSkip = 2048;
constexpr std::size_t kBottom = 1024;  // never marked: the thread's last bytes above its guard page
constexpr std::size_t kLastPage = 4096;

thread_local StackLevel* t_innermost = nullptr;

// The memory below the stack pointer belongs to no frame: written and read word by word, out of
// the sanitizers' sight (they would take it for a frame's).
__attribute__((noinline, no_sanitize("address"))) void mark(std::uintptr_t floor, std::uintptr_t top) {
    for (auto* word = reinterpret_cast<volatile std::uint64_t*>(floor);
         reinterpret_cast<std::uintptr_t>(word) < top; ++word)
        *word = kMark;
}

// The lowest word of [floor, top) that is no longer the mark (top when none is).
__attribute__((noinline, no_sanitize("address"))) std::uintptr_t deepest_written(std::uintptr_t floor,
                                                                               std::uintptr_t top) {
    auto* word = reinterpret_cast<const volatile std::uint64_t*>(floor);
    while (reinterpret_cast<std::uintptr_t>(word) < top && *word == kMark) ++word;
    return reinterpret_cast<std::uintptr_t>(word);
}

}  // namespace

std::optional<std::size_t> stack_left() {
    const Bounds& b = bounds();
    std::uintptr_t at = here();
    if (!b.known || at <= b.low || at > b.high) return std::nullopt;
    return at - b.low;
}

StackLevel::StackLevel() : outer_(t_innermost) {
    t_innermost = this;
    if (outer_) most_ = outer_->most_;
    const Bounds& b = bounds();
    std::uintptr_t at = here() & ~std::uintptr_t{7};
    if (!b.known || at <= b.low || at > b.high || at - b.low < kSkip + kBottom + 64) return;
    start_ = at;
    std::uintptr_t top = at - kSkip;
    floor_ = std::max(b.low + kBottom, top > kWindow ? top - kWindow : 0);
    mark(floor_, top);
}

StackLevel::~StackLevel() { t_innermost = outer_; }

std::optional<std::size_t> StackLevel::taken() const {
    if (!start_) return std::nullopt;
    std::uintptr_t top = start_ - kSkip;
    std::uintptr_t deepest = deepest_written(floor_, top);
    // Marks written to their last page: the level went past them, how far cannot be told.
    if (deepest < floor_ + kLastPage) return 4 * (start_ - floor_);
    return start_ - std::min(deepest, here());
}

bool StackLevel::another_fits() {
    std::optional<std::size_t> left = stack_left();
    std::optional<std::size_t> took = taken();
    if (!left || !took) return true;  // a stack that cannot be told is not checked
    most_ = std::max(most_, *took);
    std::size_t down_to_here = start_ > here() ? start_ - here() : 0;
    return *left >= 2 * (most_ + down_to_here) + kMargin;
}

}  // namespace deko
