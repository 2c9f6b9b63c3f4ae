/*
 * The benchmark's probe at the C library's boundary: the executable that
 * links libc_probe.c defines read, write, poll, ioctl and the allocation
 * functions itself, so that the calls the driver module (a shared library)
 * and the reference client make land here first and are counted, then passed
 * on to the C library. Counting is per thread and off until a thread turns
 * it on, so the simulator's own thread is never counted.
 */
#ifndef XOL_BENCH_LIBC_PROBE_H
#define XOL_BENCH_LIBC_PROBE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* System calls made through the probed functions (read, write, poll, ppoll,
   ioctl, flock, close, nanosleep, clock_nanosleep) while counting is on. */
void XolProbeCountCalls(int on);
uint64_t XolProbeCalls(void);

/* Heap allocations (malloc, calloc, realloc, the aligned allocations, and so
   operator new) while counting is on. */
void XolProbeCountAllocations(int on);
uint64_t XolProbeAllocations(void);

/* Exchanges: each write that follows a read that brought bytes records, in
   nanoseconds, the turnaround (from that read's return to the write's call)
   and the round trip before it (from the previous write's call to that
   read's return), while there is room. A null buffer stops recording. */
void XolProbeRecordExchanges(int64_t* turnarounds, int64_t* roundTrips, size_t capacity);
size_t XolProbeExchanges(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif
