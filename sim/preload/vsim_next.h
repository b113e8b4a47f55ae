#pragma once

// The C library's own versions of the functions this library replaces. They are looked
// up on first use, since the replacements may run before any constructor; a lookup
// that re-enters itself, or finds nothing, falls back to the system call.

#include <stdint.h>
#include <sys/types.h>
#include <time.h>

namespace vsim_preload {

int real_open(const char* path, int flags, mode_t mode);
int real_openat(int dirfd, const char* path, int flags, mode_t mode);
int real_close(int fd);
int real_ioctl(int fd, unsigned long request, void* arg);
int real_clock_gettime(clockid_t clock, struct timespec* ts);
int real_clock_settime(clockid_t clock, const struct timespec* ts);
int real_gettimeofday(struct timeval* tv, void* tz);

// The host's wall clock and its monotonic clock, in microseconds.
int64_t real_realtime_us();
int64_t monotonic_us();

// The C library declares some pointer arguments non-null, yet callers may pass null;
// this keeps the compiler from assuming they cannot be.
bool is_null(const void* p);

}  // namespace vsim_preload
