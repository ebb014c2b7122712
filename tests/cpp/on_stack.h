// Running a test's code on a thread of its own with a stack of a given size.
#pragma once
#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif
#include <gtest/gtest.h>

#include <cstddef>
#include <functional>

namespace deko::testing {

#ifdef _WIN32
inline DWORD WINAPI run_function(void* fn) {
    (*static_cast<std::function<void()>*>(fn))();
    return 0;
}
#endif

// Runs fn on a thread of its own whose stack is `size` bytes. On Windows the size is the stack's
// reservation, its pages committed as the stack grows into them, as a thread's stack that CPython
// starts (Wine gives a stack of at least 1 MiB whatever is asked).
inline void on_stack(std::size_t size, std::function<void()> fn) {
#ifdef _WIN32
    HANDLE thread = CreateThread(nullptr, size, run_function, &fn, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
#else
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, size);
    pthread_t thread;
    auto run = [](void* f) -> void* {
        (*static_cast<std::function<void()>*>(f))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, run, &fn), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
#endif
}

}  // namespace deko::testing
