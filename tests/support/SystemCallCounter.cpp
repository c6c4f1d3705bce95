// Wrappers that count, per thread, calls into the system that a period must never make; each then
// does what the C library does. Linked into vantrell_tests only (see tests/CMakeLists.txt).
#include "SystemCallCounter.hpp"

#include <cstdarg>
#include <cstdio>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VANTRELL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VANTRELL_SANITIZED 1
#endif
#endif

namespace {
thread_local std::size_t callCount = 0;
}

std::size_t systemcallcounter::callsOnThisThread() noexcept { return callCount; }

#ifdef VANTRELL_SANITIZED

bool systemcallcounter::counting() noexcept { return false; }

#else

bool systemcallcounter::counting() noexcept { return true; }

namespace {

template <typename Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

mode_t modeArgument(int flags, va_list arguments) {
    return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

} // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openat(AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openat(AT_FDCWD, path, flags, mode);
}

int openat(int directory, const char* path, int flags, ...) {
    ++callCount;
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    static const auto next = real<int (*)(int, const char*, int, ...)>("openat");
    return next(directory, path, flags, mode);
}

FILE* fopen(const char* path, const char* mode) {
    ++callCount;
    static const auto next = real<FILE* (*)(const char*, const char*)>("fopen");
    return next(path, mode);
}

ssize_t write(int descriptor, const void* bytes, size_t count) {
    ++callCount;
    static const auto next = real<ssize_t (*)(int, const void*, size_t)>("write");
    return next(descriptor, bytes, count);
}

ssize_t writev(int descriptor, const struct iovec* parts, int count) {
    ++callCount;
    static const auto next = real<ssize_t (*)(int, const struct iovec*, int)>("writev");
    return next(descriptor, parts, count);
}

int shm_open(const char* name, int flags, mode_t mode) {
    ++callCount;
    static const auto next = real<int (*)(const char*, int, mode_t)>("shm_open");
    return next(name, flags, mode);
}

int ftruncate(int descriptor, off_t length) {
    ++callCount;
    static const auto next = real<int (*)(int, off_t)>("ftruncate");
    return next(descriptor, length);
}

void* mmap(void* address, size_t length, int protection, int flags, int descriptor, off_t offset) {
    ++callCount;
    static const auto next = real<void* (*)(void*, size_t, int, int, int, off_t)>("mmap");
    return next(address, length, protection, flags, descriptor, offset);
}

int pthread_mutex_lock(pthread_mutex_t* mutex) {
    ++callCount;
    static const auto next = real<int (*)(pthread_mutex_t*)>("pthread_mutex_lock");
    return next(mutex);
}

int pthread_cond_signal(pthread_cond_t* condition) {
    ++callCount;
    static const auto next = real<int (*)(pthread_cond_t*)>("pthread_cond_signal");
    return next(condition);
}

int pthread_cond_broadcast(pthread_cond_t* condition) {
    ++callCount;
    static const auto next = real<int (*)(pthread_cond_t*)>("pthread_cond_broadcast");
    return next(condition);
}

// Futex wakes: libstdc++'s atomic waits (semaphores, futures) call it with SYS_futex. The count of
// arguments is not known here; six are passed on, as many as any system call takes, and the kernel
// reads only those its call has.
long syscall(long number, ...) noexcept {
    ++callCount;
    va_list arguments;
    va_start(arguments, number);
    long argument[6];
    for (long& each : argument) each = va_arg(arguments, long);
    va_end(arguments);
    static const auto next = real<long (*)(long, ...)>("syscall");
    return next(number, argument[0], argument[1], argument[2], argument[3], argument[4], argument[5]);
}

int nanosleep(const struct timespec* duration, struct timespec* remaining) {
    ++callCount;
    static const auto next = real<int (*)(const struct timespec*, struct timespec*)>("nanosleep");
    return next(duration, remaining);
}

} // extern "C"

#endif
