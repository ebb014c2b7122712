#include "core/stack_room.h"

#include <pthread.h>

#include <algorithm>
#include <cstdint>

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
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return b;
        void* address = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attr, &address, &size) == 0 && address && size) {
            b.low = reinterpret_cast<std::uintptr_t>(address);
            b.high = b.low + size;
            b.known = true;
        }
        pthread_attr_destroy(&attr);
        return b;
    }();
    return cached;
}

}  // namespace

std::optional<std::size_t> stack_left() {
    const Bounds& b = bounds();
    auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (!b.known || here <= b.low || here > b.high) return std::nullopt;
    return here - b.low;
}

std::size_t stack_reserve() {
    const Bounds& b = bounds();
    constexpr std::size_t kMost = 256 * 1024;
    return b.known ? std::min(kMost, (b.high - b.low) / 4) : kMost;
}

}  // namespace deko
