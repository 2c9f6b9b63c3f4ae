/* The probe's definitions of the C library's functions: count, time, pass on. */
#undef _FORTIFY_SOURCE
#define _GNU_SOURCE
#include "libc_probe.h"

#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

/* The allocator's own entry points, which glibc exports for interposers. */
extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* pointer, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);
extern void* __libc_valloc(size_t size);
extern void* __libc_pvalloc(size_t size);

struct Probe {
    int countCalls;
    int countAllocations;
    uint64_t calls;
    uint64_t allocations;
    int64_t* turnarounds;
    int64_t* roundTrips;
    size_t capacity;
    size_t used;
    int64_t lastWriteNs; /* 0: no write yet */
    int64_t lastReadNs;  /* 0: no read has brought bytes since the last write */
};

static _Thread_local struct Probe probe;

void XolProbeCountCalls(int on) {
    probe.countCalls = on;
    probe.calls = 0;
}

uint64_t XolProbeCalls(void) {
    return probe.calls;
}

void XolProbeCountAllocations(int on) {
    probe.countAllocations = on;
    if (on) {
        probe.allocations = 0;
    }
}

uint64_t XolProbeAllocations(void) {
    return probe.allocations;
}

void XolProbeRecordExchanges(int64_t* turnarounds, int64_t* roundTrips, size_t capacity) {
    probe.turnarounds = turnarounds;
    probe.roundTrips = roundTrips;
    probe.capacity = turnarounds != NULL && roundTrips != NULL ? capacity : 0;
    probe.used = 0;
    probe.lastWriteNs = 0;
    probe.lastReadNs = 0;
}

size_t XolProbeExchanges(void) {
    return probe.used;
}

static int64_t NowNs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static void CountCall(void) {
    if (probe.countCalls) {
        ++probe.calls;
    }
}

static void CountAllocation(void) {
    if (probe.countAllocations) {
        ++probe.allocations;
    }
}

/* The next definition of `name` after this executable's: the C library's. */
static void* Real(void** slot, const char* name) {
    void* found = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (found == NULL) {
        found = dlsym(RTLD_NEXT, name);
        if (found == NULL) {
            abort();
        }
        __atomic_store_n(slot, found, __ATOMIC_RELEASE);
    }
    return found;
}

#define REAL(name)                                                                                 \
    static void* real_##name;                                                                      \
    __typeof__(&name) const name##Real = (__typeof__(&name))Real(&real_##name, #name)

ssize_t read(int fd, void* buffer, size_t count) {
    REAL(read);
    CountCall();
    const ssize_t n = readReal(fd, buffer, count);
    if (n > 0 && probe.capacity != 0) {
        const int saved = errno;
        probe.lastReadNs = NowNs();
        errno = saved;
    }
    return n;
}

ssize_t write(int fd, const void* buffer, size_t count) {
    REAL(write);
    CountCall();
    if (probe.capacity != 0) {
        const int64_t now = NowNs();
        if (probe.lastReadNs != 0 && probe.lastWriteNs != 0 && probe.used < probe.capacity) {
            probe.turnarounds[probe.used] = now - probe.lastReadNs;
            probe.roundTrips[probe.used] = probe.lastReadNs - probe.lastWriteNs;
            ++probe.used;
        }
        probe.lastWriteNs = now;
        probe.lastReadNs = 0;
    }
    return writeReal(fd, buffer, count);
}

int poll(struct pollfd* fds, nfds_t count, int timeoutMs) {
    REAL(poll);
    CountCall();
    return pollReal(fds, count, timeoutMs);
}

int ppoll(struct pollfd* fds, nfds_t count, const struct timespec* timeout, const sigset_t* mask) {
    REAL(ppoll);
    CountCall();
    return ppollReal(fds, count, timeout, mask);
}

int ioctl(int fd, unsigned long request, ...) {
    REAL(ioctl);
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    CountCall();
    return ioctlReal(fd, request, argument);
}

int flock(int fd, int operation) {
    REAL(flock);
    CountCall();
    return flockReal(fd, operation);
}

int close(int fd) {
    REAL(close);
    CountCall();
    return closeReal(fd);
}

int nanosleep(const struct timespec* duration, struct timespec* left) {
    REAL(nanosleep);
    CountCall();
    return nanosleepReal(duration, left);
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* duration,
                    struct timespec* left) {
    REAL(clock_nanosleep);
    CountCall();
    return clock_nanosleepReal(clock, flags, duration, left);
}

void* malloc(size_t size) {
    CountAllocation();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    CountAllocation();
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size) {
    CountAllocation();
    return __libc_realloc(pointer, size);
}

void* memalign(size_t alignment, size_t size) {
    CountAllocation();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    CountAllocation();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size) {
    CountAllocation();
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) {
        return EINVAL;
    }
    void* block = __libc_memalign(alignment, size);
    if (block == NULL) {
        return ENOMEM;
    }
    *result = block;
    return 0;
}

void* valloc(size_t size) {
    CountAllocation();
    return __libc_valloc(size);
}

void* pvalloc(size_t size) {
    CountAllocation();
    return __libc_pvalloc(size);
}
