// The platform seam on POSIX systems (see platform.h).
#include <locale.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/platform.h"

namespace deko::platform {

std::optional<StackBounds> thread_stack_bounds() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return std::nullopt;
    void* address = nullptr;
    std::size_t size = 0;
    std::optional<StackBounds> bounds;
    if (pthread_attr_getstack(&attr, &address, &size) == 0 && address && size) {
        auto low = reinterpret_cast<std::uintptr_t>(address);
        bounds = StackBounds{low, low + size};
    }
    pthread_attr_destroy(&attr);
    return bounds;
}

std::size_t page_size() {
    static const std::size_t size = [] {
        long reported = sysconf(_SC_PAGESIZE);
        return reported > 0 ? static_cast<std::size_t>(reported) : std::size_t{4096};
    }();
    return size;
}

namespace {

// Whether every page of [from, from + pages * page) is mapped; `resident` gets one byte per page.
bool mapped(std::uintptr_t from, std::size_t pages, unsigned char* resident) {
    return mincore(reinterpret_cast<void*>(from), pages * page_size(), resident) == 0;
}

}  // namespace

std::optional<std::uintptr_t> lowest_stack_page_in_use(std::uintptr_t low, std::uintptr_t high) {
    const std::uintptr_t page = page_size();
    low = (low + page - 1) & ~(page - 1);
    high &= ~(page - 1);
    if (low >= high) return std::nullopt;
    unsigned char resident[64];
    // A main thread's stack is mapped only as far down as it has grown: its lowest mapped page is
    // found first (the mapped pages run from there up to high).
    if (!mapped(low, 1, resident)) {
        if (errno != ENOMEM) return std::nullopt;
        std::uintptr_t unmapped = low, in_use = high - page;  // unmapped below, mapped from in_use up
        if (!mapped(in_use, 1, resident)) return std::nullopt;
        while (in_use - unmapped > page) {
            std::uintptr_t middle = unmapped + ((in_use - unmapped) / page / 2) * page;
            (mapped(middle, 1, resident) ? in_use : unmapped) = middle;
        }
        low = in_use;
    }
    for (std::uintptr_t from = low; from < high;) {
        std::size_t pages = std::min<std::size_t>(sizeof resident, (high - from) / page);
        if (!mapped(from, pages, resident)) return std::nullopt;
        for (std::size_t i = 0; i < pages; ++i)
            if (resident[i] & 1) return from + i * page;
        from += pages * page;
    }
    return std::nullopt;
}

double strtod_c(const char* text, char** end) {
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    if (!c_locale) {  // cannot happen for "C"; read nothing rather than in another locale
        *end = const_cast<char*>(text);
        return 0.0;
    }
    return strtod_l(text, end, c_locale);
}

void reset_after_fork(void (*reset)()) { pthread_atfork(nullptr, nullptr, reset); }

}  // namespace deko::platform
