// How much of the current thread's C stack is left: a call that recurses through Python (a retry
// calling its method again through the instance) checks it, and raises RecursionError while there
// is still room to unwind, instead of running into the end of the stack.
#pragma once
#include <cstddef>
#include <optional>

namespace deko {

// Bytes left below the caller's frame on the current thread's stack; nothing when the thread's
// stack cannot be told (or the caller runs on a stack of its own, such as a coroutine's).
std::optional<std::size_t> stack_left();

// The least room a recursing call needs: a quarter of the thread's stack, at most 256 KiB.
std::size_t stack_reserve();

}  // namespace deko
