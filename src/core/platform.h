// The few calls that differ between the systems the module is built for, each behind one function
// with a POSIX side (platform_posix.cpp: Linux) and a Windows side (platform_windows.cpp). Nothing
// else in the sources includes a system header of its own.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>

namespace deko::platform {

// A thread's stack: the addresses [low, high); it grows down from high.
struct StackBounds {
    std::uintptr_t low = 0, high = 0;
};

// The current thread's stack; nothing when it cannot be told.
std::optional<StackBounds> thread_stack_bounds();

// The lowest page of [low, high) that is mapped and in use (resident, committed) by the current
// thread's stack, found without touching any page (a page never touched stays untouched, and a
// growable main stack is not grown); nothing when it cannot be told.
std::optional<std::uintptr_t> lowest_stack_page_in_use(std::uintptr_t low, std::uintptr_t high);

// The size of a memory page.
std::size_t page_size();

// A decimal number read as strtod reads it in the "C" locale: "." is the decimal point whatever the
// process's locale; correctly rounded, as Python's float() is; out of range, HUGE_VAL or zero with
// the sign. The text starts with the number (an optional sign, digits with an optional point and
// exponent, or inf or nan); *end is set past what was read (to text when nothing was).
double strtod_c(const char* text, char** end);

// Has `reset` run in the child process after a fork (a system without fork: never).
void reset_after_fork(void (*reset)());

}  // namespace deko::platform
