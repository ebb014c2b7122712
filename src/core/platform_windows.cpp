// The platform seam on Windows (see platform.h), from Windows 7 on: CPython 3.7 runs there, so the
// stack's bounds come from VirtualQuery rather than GetCurrentThreadStackLimits, which Windows 8
// introduced.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef PSAPI_VERSION
#define PSAPI_VERSION 2  // QueryWorkingSetEx is kernel32's K32QueryWorkingSetEx (Windows 7)
#endif
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include "core/platform.h"

namespace deko::platform {

namespace {

// The start of the memory region that holds `address`, its protection and state.
bool region_of(const void* address, MEMORY_BASIC_INFORMATION& region) {
    return VirtualQuery(address, &region, sizeof region) == sizeof region;
}

}  // namespace

std::size_t page_size() {
    static const std::size_t size = [] {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return info.dwPageSize ? static_cast<std::size_t>(info.dwPageSize) : std::size_t{4096};
    }();
    return size;
}

// A thread's stack (a fiber's too) is one reservation of its own, which the stack fills: from its
// allocation base up to the end of its last region. Its lowest pages never hold frames: the
// system raises a stack overflow when the guard page reaches them, keeping the pages that the
// thread's stack guarantee asks for (and one more) for the exception's handling. They are left
// out, as pthread_getattr_np leaves out a POSIX thread's guard.
std::optional<StackBounds> thread_stack_bounds() {
    int local = 0;
    MEMORY_BASIC_INFORMATION region;
    if (!region_of(&local, region) || !region.AllocationBase) return std::nullopt;
    void* reservation = region.AllocationBase;
    auto base = reinterpret_cast<std::uintptr_t>(reservation);
    std::uintptr_t high = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
    while (region_of(reinterpret_cast<const void*>(high), region) && region.AllocationBase == reservation)
        high = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
    ULONG guarantee = 0;
    if (!SetThreadStackGuarantee(&guarantee)) guarantee = 0;  // 0 asks for the current guarantee
    const std::uintptr_t page = page_size();
    std::uintptr_t kept = 2 * page + ((guarantee + page - 1) & ~(page - 1));
    if (high - base <= kept) return std::nullopt;
    return StackBounds{base + kept, high};
}

namespace {

// The first page of [from, to) in the process's working set (touched and resident), or `to`; `from`
// itself when the system cannot tell.
std::uintptr_t first_resident(std::uintptr_t from, std::uintptr_t to) {
    const std::uintptr_t page = page_size();
    PSAPI_WORKING_SET_EX_INFORMATION pages[64];
    for (std::uintptr_t at = from; at < to;) {
        std::size_t count = std::min<std::uintptr_t>(64, (to - at) / page);
        for (std::size_t i = 0; i < count; ++i) pages[i].VirtualAddress = reinterpret_cast<void*>(at + i * page);
        if (!QueryWorkingSetEx(GetCurrentProcess(), pages, static_cast<DWORD>(count * sizeof pages[0]))) return from;
        for (std::size_t i = 0; i < count; ++i)
            if (pages[i].VirtualAttributes.Valid) return at + i * page;
        at += count * page;
    }
    return to;
}

}  // namespace

// The pages from the guard page down are reserved, not committed: touching one below the guard
// faults. Committed pages are not all in use either: a thread started with a stack size to commit
// (CPython's threading.stack_size(), Qt's QThread::setStackSize) has its whole stack committed,
// its pages made as they are first touched. The lowest page in use is the lowest committed one,
// writable and no guard page, that is in the working set (asked without touching it, as mincore
// asks on POSIX).
std::optional<std::uintptr_t> lowest_stack_page_in_use(std::uintptr_t low, std::uintptr_t high) {
    const std::uintptr_t page = page_size();
    low = (low + page - 1) & ~(page - 1);
    high &= ~(page - 1);
    constexpr DWORD kWritable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    for (std::uintptr_t at = low; at < high;) {
        MEMORY_BASIC_INFORMATION region;
        if (!region_of(reinterpret_cast<const void*>(at), region)) return std::nullopt;
        auto end = std::min<std::uintptr_t>(reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize, high);
        if (end <= at) return std::nullopt;
        if (region.State == MEM_COMMIT && (region.Protect & kWritable) && !(region.Protect & PAGE_GUARD)) {
            std::uintptr_t resident = first_resident(at, end);
            if (resident < end) return resident;
        }
        at = end;
    }
    return std::nullopt;
}

namespace {

// Whether a decimal number that lies out of a double's range does so by being too small (it
// rounds to zero) rather than too large: the power of ten of its leading digit is negative.
bool too_small(const char* from, const char* to) {
    long long power = 0;  // of the leading digit, before the exponent
    bool leading = false, point = false;
    const char* at = from;
    for (; at < to && *at != 'e' && *at != 'E'; ++at) {
        if (*at == '.') {
            point = true;
        } else if (!leading && *at == '0') {
            if (point) --power;
        } else if (!leading) {
            leading = true;
            power += point ? -1 : 0;
        } else if (!point) {
            ++power;
        }
    }
    long long exponent = 0;
    if (at < to) {
        ++at;
        bool negative = at < to && *at == '-';
        if (at < to && (*at == '-' || *at == '+')) ++at;
        for (; at < to && exponent < 100000; ++at) exponent = exponent * 10 + (*at - '0');
        if (negative) exponent = -exponent;
    }
    return power + exponent < 0;
}

}  // namespace

// Windows' own strtod is not correctly rounded (msvcrt.dll's, which MinGW-w64 links, keeps a
// limited number of digits and rounds twice), so the number is read by std::from_chars, which
// is, and which no locale affects; around it, strtod's sign and out-of-range results.
double strtod_c(const char* text, char** end) {
    const char* at = text;
    bool negative = *at == '-';
    if (*at == '-' || *at == '+') ++at;
    double value = 0.0;
    std::from_chars_result read{at, std::errc::invalid_argument};
    if (*at != '-' && *at != '+') read = std::from_chars(at, at + std::strlen(at), value);
    if (read.ptr == at) {  // no number: nothing read, as strtod
        *end = const_cast<char*>(text);
        return 0.0;
    }
    *end = const_cast<char*>(read.ptr);
    if (read.ec == std::errc::result_out_of_range) value = too_small(at, read.ptr) ? 0.0 : HUGE_VAL;
    return negative ? -value : value;
}

// Windows has no fork.
void reset_after_fork(void (*)()) {}

}  // namespace deko::platform
