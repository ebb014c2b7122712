// The portable Linux file's link to glibc 2.17 (cmake/portable.cmake), built with a newer glibc.
//
// The compiler and the C++ library (linked in) were built against this machine's glibc, whose
// newer symbol versions a file linked here would ask for. Each function that resolves to a
// version above 2.17 is sent (ld --wrap) to a definition here: one that calls the function's
// oldest version, which glibc keeps for old programs (the pthread functions' GLIBC_2.2.5, from
// libpthread.so.0 on a glibc before 2.34, which the file names among its needs), or, for what
// glibc 2.17 does not have, the same done with what it has.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <new>

#if !defined(__x86_64__) || !defined(__GLIBC__)
#error "the portable Linux file is built for x86-64 glibc systems"
#endif

// The oldest versions, by the names deko_glibc_<function>.
#define DEKO_GLIBC_2_2_5(function) __asm__(".symver deko_glibc_" #function ", " #function "@GLIBC_2.2.5")
DEKO_GLIBC_2_2_5(pthread_getattr_np);
DEKO_GLIBC_2_2_5(pthread_attr_getstack);
DEKO_GLIBC_2_2_5(pthread_once);
DEKO_GLIBC_2_2_5(pthread_key_create);
DEKO_GLIBC_2_2_5(pthread_key_delete);
DEKO_GLIBC_2_2_5(pthread_getspecific);
DEKO_GLIBC_2_2_5(pthread_setspecific);

extern "C" {

int deko_glibc_pthread_getattr_np(pthread_t, pthread_attr_t*);
int deko_glibc_pthread_attr_getstack(const pthread_attr_t*, void**, size_t*);
int deko_glibc_pthread_once(pthread_once_t*, void (*)());
int deko_glibc_pthread_key_create(pthread_key_t*, void (*)(void*));
int deko_glibc_pthread_key_delete(pthread_key_t);
void* deko_glibc_pthread_getspecific(pthread_key_t);
int deko_glibc_pthread_setspecific(pthread_key_t, const void*);

int __wrap_pthread_getattr_np(pthread_t thread, pthread_attr_t* attr) {
    return deko_glibc_pthread_getattr_np(thread, attr);
}
int __wrap_pthread_attr_getstack(const pthread_attr_t* attr, void** address, size_t* size) {
    return deko_glibc_pthread_attr_getstack(attr, address, size);
}
int __wrap_pthread_once(pthread_once_t* once, void (*run)()) { return deko_glibc_pthread_once(once, run); }
int __wrap_pthread_key_create(pthread_key_t* key, void (*destroy)(void*)) {
    return deko_glibc_pthread_key_create(key, destroy);
}
int __wrap_pthread_key_delete(pthread_key_t key) { return deko_glibc_pthread_key_delete(key); }
void* __wrap_pthread_getspecific(pthread_key_t key) { return deko_glibc_pthread_getspecific(key); }
int __wrap_pthread_setspecific(pthread_key_t key, const void* value) {
    return deko_glibc_pthread_setspecific(key, value);
}

// glibc 2.30's wait until a time of a given clock, as the C++ library waits without it: the
// steady clock's deadline turned into the system clock's.
int __wrap_pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                                  const struct timespec* deadline) {
    if (clock == CLOCK_REALTIME) return pthread_cond_timedwait(cond, mutex, deadline);
    if (clock != CLOCK_MONOTONIC) return EINVAL;
    struct timespec steady, system;
    clock_gettime(CLOCK_MONOTONIC, &steady);
    clock_gettime(CLOCK_REALTIME, &system);
    long long nanoseconds = (static_cast<long long>(deadline->tv_sec) - steady.tv_sec) * 1000000000LL +
                            (deadline->tv_nsec - steady.tv_nsec) + system.tv_nsec;
    long long seconds = system.tv_sec + nanoseconds / 1000000000LL;
    nanoseconds %= 1000000000LL;
    if (nanoseconds < 0) {
        nanoseconds += 1000000000LL;
        --seconds;
    }
    struct timespec until;
    until.tv_sec = static_cast<time_t>(seconds);
    until.tv_nsec = static_cast<long>(nanoseconds);
    return pthread_cond_timedwait(cond, mutex, &until);
}

// glibc 2.25's getentropy and 2.36's arc4random, which the C++ library's std::random_device reads
// (linked in with the library's strings; the module makes none): from /dev/urandom.
int __wrap_getentropy(void* buffer, size_t length) {
    if (length > 256) {
        errno = EIO;
        return -1;
    }
    int file = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (file < 0) return -1;
    auto* at = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        ssize_t got = read(file, at, length);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            close(file);
            errno = EIO;
            return -1;
        }
        at += got;
        length -= static_cast<size_t>(got);
    }
    close(file);
    return 0;
}
uint32_t __wrap_arc4random() {
    uint32_t value;
    if (__wrap_getentropy(&value, sizeof value) != 0) abort();  // as arc4random, which cannot fail
    return value;
}

// glibc 2.32 tells the C++ library that a process has one thread, so that it may skip atomic
// operations; left at 0, it never does.
char __libc_single_threaded = 0;

}  // extern "C"

// A thread_local's destructor, run when its thread ends: the C++ library's own way when glibc has
// no __cxa_thread_atexit_impl (2.18), through a thread-specific key (and, for the main thread, at
// exit), in place of the library's, which calls it.
namespace {

struct Destructor {
    void (*destroy)(void*);
    void* object;
    Destructor* next;
};

pthread_key_t g_destructors;

void run(void* first) {
    for (auto* at = static_cast<Destructor*>(first); at;) {
        Destructor* done = at;
        at->destroy(at->object);
        at = at->next;
        delete done;
    }
}

void run_main_thread() {
    void* first = deko_glibc_pthread_getspecific(g_destructors);
    deko_glibc_pthread_setspecific(g_destructors, nullptr);
    run(first);
}

void make_key() {
    deko_glibc_pthread_key_create(&g_destructors, run);
    atexit(run_main_thread);
}

}  // namespace

extern "C" int __cxa_thread_atexit(void (*destroy)(void*), void* object, void*) {
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    deko_glibc_pthread_once(&once, make_key);
    auto* first = static_cast<Destructor*>(deko_glibc_pthread_getspecific(g_destructors));
    auto* added = new (std::nothrow) Destructor{destroy, object, first};
    if (!added) return -1;
    deko_glibc_pthread_setspecific(g_destructors, added);
    return 0;
}
