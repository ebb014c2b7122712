// What differs between the compilers the module is built with: GCC and clang (Linux, MinGW-w64 for
// Windows) and MSVC (Windows).
#pragma once
#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#define DEKO_LIKELY(condition) (condition)
// A function that is never inlined and that AddressSanitizer does not instrument.
#define DEKO_UNCHECKED_NOINLINE __declspec(noinline) __declspec(no_sanitize_address)
// The address of the calling function's frame (MSVC: of its return address, just above it).
#define DEKO_FRAME_ADDRESS() reinterpret_cast<std::uintptr_t>(_AddressOfReturnAddress())
#else
#define DEKO_LIKELY(condition) __builtin_expect(!!(condition), 1)
#define DEKO_UNCHECKED_NOINLINE __attribute__((noinline, no_sanitize("address")))
#define DEKO_FRAME_ADDRESS() reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0))
#endif

// A name that the built file keeps to itself. A DLL exports only what it marks for export, so on
// Windows nothing needs saying.
#if defined(_WIN32)
#define DEKO_HIDDEN
#else
#define DEKO_HIDDEN __attribute__((visibility("hidden")))
#endif
